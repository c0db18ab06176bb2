// A WMI of the test's own, registered as the WMI locator's class in the calling thread's
// apartment: the board reader's query reaches it instead of Wine's. Every instance of
// Win32_BaseBoard it serves answers "Product" with one of the given texts, in order.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace test {

class FakeWmi {
public:
    explicit FakeWmi(std::vector<std::wstring> products);
    ~FakeWmi();
    FakeWmi(const FakeWmi&) = delete;
    FakeWmi& operator=(const FakeWmi&) = delete;

    bool Registered() const { return cookie_ != 0; }
    // What the reader asked for, one "namespace class" line per query.
    const std::vector<std::wstring>& Queries() const;

private:
    DWORD cookie_ = 0;
};

}  // namespace test
