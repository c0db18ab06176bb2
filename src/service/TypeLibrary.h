// The service's own type library, loaded from the TYPELIB resource of the executable.
#pragma once

#include <oaidl.h>

namespace service {

// The type information that describes interface iid for IDispatch: for a dual interface its
// vtable side, so that DispInvoke calls the implementation's methods.
HRESULT GetServiceTypeInfo(REFGUID iid, ITypeInfo** info);

}  // namespace service
