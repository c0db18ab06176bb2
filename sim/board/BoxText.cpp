// Board statements of the simulated box and the HID interfaces around it.
#include <cstring>
#include <cwchar>

#include "Board.h"
#include "BoardStatements.h"

namespace sim {

namespace {

constexpr uint16_t kBoxVendor = 0x2F3A;
constexpr uint16_t kBoxProduct = 0x5C71;

bool PathArg(const Args& a, size_t i, std::wstring* path, std::string* err) {
    if (i >= a.size() || !a[i].quoted) {
        *err = "expected a quoted device path at argument " + std::to_string(i);
        return false;
    }
    if (a[i].text.size() >= kHidPathChars) {
        *err = "device path too long";
        return false;
    }
    path->assign(a[i].text.begin(), a[i].text.end());
    return true;
}

HidInterface* FindInterface(const std::wstring& path) {
    BoxState& box = State()->box;
    for (uint32_t i = 0; i < box.interfaceCount; ++i)
        if (_wcsicmp(box.interfaces[i].path, path.c_str()) == 0) return &box.interfaces[i];
    return nullptr;
}

// Appends an interface to the enumeration order; words after the path set its flags.
bool AddInterface(uint16_t vendor, uint16_t product, const Args& a, size_t pathAt, std::string* err) {
    std::wstring path;
    if (!PathArg(a, pathAt, &path, err)) return false;
    BoxState& box = State()->box;
    if (box.interfaceCount >= kHidInterfaces) {
        *err = "too many HID interfaces";
        return false;
    }
    HidInterface& hid = box.interfaces[box.interfaceCount++];
    hid = HidInterface{};
    hid.vendorId = vendor;
    hid.productId = product;
    hid.flags = HidPresent;
    hid.generation = 1;
    std::wmemcpy(hid.path, path.c_str(), path.size() + 1);
    for (size_t i = pathAt + 1; i < a.size(); ++i) {
        const std::string& w = a[i].text;
        if (w == "unplugged")
            hid.flags &= ~HidPresent;
        else if (w == "readonly")
            hid.flags |= HidReadOnly;
        else if (w == "noopen")
            hid.flags |= HidNoOpen;
        else if (w == "nopreparsed")
            hid.flags |= HidNoPreparsed;
        else {
            *err = "unknown interface word " + w;
            return false;
        }
    }
    return true;
}

bool Plug(const Args& a, bool present, std::string* err) {
    std::wstring path;
    if (!PathArg(a, 0, &path, err)) return false;
    HidInterface* hid = FindInterface(path);
    if (!hid) {
        *err = "no such HID interface";
        return false;
    }
    if (present && !(hid->flags & HidPresent)) ++hid->generation;
    hid->flags = present ? hid->flags | HidPresent : hid->flags & ~HidPresent;
    return true;
}

}  // namespace

StatementTable BoxStatements() {
    return {
        {"hid",
         [](const Args& a, std::string* err) {
             long long vendor, product;
             if (!Num(a, 0, &vendor, err) || !Num(a, 1, &product, err)) return false;
             return AddInterface(static_cast<uint16_t>(vendor), static_cast<uint16_t>(product), a, 2, err);
         }},
        {"box",
         [](const Args& a, std::string* err) { return AddInterface(kBoxVendor, kBoxProduct, a, 0, err); }},
        {"unplug", [](const Args& a, std::string* err) { return Plug(a, false, err); }},
        {"plug", [](const Args& a, std::string* err) { return Plug(a, true, err); }},
        {"box-reg",
         [](const Args& a, std::string* err) {
             long long reg, v;
             if (!Num(a, 0, &reg, err)) return false;
             if (a.size() < 2 || a.size() > 1 + kBoxValueBytes) {
                 *err = "expected one to five value bytes";
                 return false;
             }
             uint8_t* bytes = State()->box.regs[reg & 0xFF];
             std::memset(bytes, 0, kBoxValueBytes);
             for (size_t i = 1; i < a.size(); ++i) {
                 if (!Num(a, i, &v, err)) return false;
                 bytes[i - 1] = static_cast<uint8_t>(v);
             }
             return true;
         }},
        {"box-status",
         [](const Args& a, std::string* err) {
             long long v;
             if (!Num(a, 0, &v, err)) return false;
             State()->box.setStatus = static_cast<uint8_t>(v);
             return true;
         }},
        {"box-fail",
         [](const Args& a, std::string* err) {
             long long n;
             if (a.empty() || !Num(a, 1, &n, err)) {
                 if (err->empty()) *err = "expected: box-fail set|get COUNT";
                 return false;
             }
             if (a[0].text == "set")
                 State()->box.failSets = static_cast<uint32_t>(n);
             else if (a[0].text == "get")
                 State()->box.failGets = static_cast<uint32_t>(n);
             else {
                 *err = "expected: box-fail set|get COUNT";
                 return false;
             }
             return true;
         }},
        {"hid-library",
         [](const Args& a, std::string* err) {
             BoxState& box = State()->box;
             if (a.size() == 1 && a[0].text == "absent") {
                 box.libraryAbsent = 1;
                 return true;
             }
             if (a.size() == 2 && a[0].text == "missing" && a[1].text.size() < sizeof(box.missingFunction)) {
                 std::strcpy(box.missingFunction, a[1].text.c_str());
                 return true;
             }
             *err = "expected: hid-library absent | hid-library missing FUNCTION";
             return false;
         }},
    };
}

}  // namespace sim
