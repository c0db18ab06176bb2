// Board descriptions: one statement a line, '#' starts a comment, numbers in C notation,
// texts in double quotes. The statements are listed in boards/README.md.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include "AcpiPackage.h"
#include "Board.h"
#include "BoardStatements.h"

namespace sim {

namespace {

bool Tokenize(const std::string& line, std::vector<Token>* out, std::string* error) {
    out->clear();
    size_t i = 0;
    while (i < line.size()) {
        char ch = line[i];
        if (ch == '#') break;
        if (ch == ' ' || ch == '\t' || ch == '\r') {
            ++i;
            continue;
        }
        if (ch == '"') {
            size_t end = line.find('"', i + 1);
            if (end == std::string::npos) {
                *error = "unterminated text";
                return false;
            }
            out->push_back({line.substr(i + 1, end - i - 1), true});
            i = end + 1;
            continue;
        }
        size_t end = line.find_first_of(" \t\r#", i);
        if (end == std::string::npos) end = line.size();
        out->push_back({line.substr(i, end - i), false});
        i = end;
    }
    return true;
}

}  // namespace

bool Number(const Token& t, long long* v) {
    if (t.quoted || t.text.empty()) return false;
    char* end = nullptr;
    *v = std::strtoll(t.text.c_str(), &end, 0);
    if (*end != 0) {
        *v = static_cast<long long>(std::strtoull(t.text.c_str(), &end, 0));
        return *end == 0;
    }
    return true;
}

namespace {

#define NEED(n)                         \
    do {                                \
        if (a.size() < (n)) {           \
            *err = "too few arguments"; \
            return false;               \
        }                               \
    } while (0)

}  // namespace

bool Num(const Args& a, size_t i, long long* v, std::string* err) {
    if (i >= a.size() || !Number(a[i], v)) {
        *err = "expected a number at argument " + std::to_string(i);
        return false;
    }
    return true;
}

bool ParseBytes(const Args& a, size_t from, std::vector<uint8_t>* out, std::string* err) {
    for (size_t i = from; i < a.size(); ++i) {
        char* end = nullptr;
        unsigned long v = std::strtoul(a[i].text.c_str(), &end, 16);
        if (a[i].quoted || *end || v > 0xFF) {
            *err = "expected hex bytes";
            return false;
        }
        out->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

namespace {

SioFamily FamilyOf(uint16_t id) {
    switch (id) {
        case 0x8603:
        case 0x8606:
        case 0x8623:
        case 0x8626:
        case 0x8655:
        case 0x8665:
        case 0x8720:
        case 0x8721:
        case 0x8728:
        case 0x8771: return SioFamily::Ite;
        case 0x1007:
        case 0x1117:
        case 0x1118: return SioFamily::Fintek;
        default: return SioFamily::Winbond;
    }
}

StatementTable CoreStatements() {
    return {
        {"chip",
         [](const Args& a, std::string* err) {
             long long id, rev = 0;
             if (!Num(a, 0, &id, err)) return false;
             if (a.size() > 1 && !Num(a, 1, &rev, err)) return false;
             SioFamily f = FamilyOf(static_cast<uint16_t>(id));
             if (a.size() > 2) {
                 const std::string& n = a[2].text;
                 f = n == "ite"      ? SioFamily::Ite
                     : n == "fintek" ? SioFamily::Fintek
                     : n == "none"   ? SioFamily::None
                                     : SioFamily::Winbond;
             }
             SetChip(static_cast<uint16_t>(id), static_cast<uint8_t>(rev), f);
             return true;
         }},
        {"ite-window",
         [](const Args& a, std::string* err) {
             long long base;
             if (!Num(a, 0, &base, err)) return false;
             State()->sio.iteMemBase = static_cast<uint32_t>(base);
             return true;
         }},
        {"cfg",
         [](const Args& a, std::string* err) {
             long long ldn, reg, v;
             if (!Num(a, 0, &ldn, err) || !Num(a, 1, &reg, err) || !Num(a, 2, &v, err)) return false;
             State()->sio.cfg[reg < 0x30 ? 0 : ldn % kSioLdns][reg & 0xFF] = static_cast<uint8_t>(v);
             return true;
         }},
        {"hwm",
         [](const Args& a, std::string* err) {
             long long bank, reg, v;
             if (!Num(a, 0, &bank, err) || !Num(a, 1, &reg, err)) return false;
             for (size_t i = 2; i < a.size(); ++i) {  // consecutive registers
                 if (!Num(a, i, &v, err)) return false;
                 State()->sio.hwm[bank % kHwmBanks][(reg + i - 2) & 0xFF] = static_cast<uint8_t>(v);
             }
             return true;
         }},
        {"item",
         [](const Args& a, std::string* err) {
             long long id;
             if (!Num(a, 0, &id, err)) return false;
             BiosItem* it = AddItem(static_cast<uint32_t>(id));
             if (!it) {
                 *err = "too many items";
                 return false;
             }
             it->id = static_cast<uint32_t>(id);
             for (size_t i = 1; i < a.size(); ++i) {
                 const std::string& w = a[i].text;
                 long long v;
                 if (w == "value") {
                     if (!Num(a, ++i, &v, err)) return false;
                     it->value = static_cast<int32_t>(v);
                     it->flags |= ItemHasValue;
                 } else if (w == "fail-get") {
                     it->flags |= ItemFailGet;
                 } else if (w == "fail-set") {
                     it->flags |= ItemFailSet;
                 } else if (w == "command") {
                     it->flags |= ItemCommand;
                 } else if (w == "empty-desc") {  // listed, but its package holds no element
                     SetItemDescription(static_cast<uint32_t>(id), PackageBuilder().Build());
                     it = FindItem(static_cast<uint32_t>(id));
                 } else if (w == "desc") {
                     PackageBuilder p;
                     p.Int(static_cast<int32_t>(id));
                     for (++i; i < a.size(); ++i) {
                         if (a[i].quoted)
                             p.Str(a[i].text);
                         else if (Number(a[i], &v))
                             p.Int(static_cast<int32_t>(v));
                         else {
                             *err = "bad description element " + a[i].text;
                             return false;
                         }
                     }
                     SetItemDescription(static_cast<uint32_t>(id), p.Build());
                     it = FindItem(static_cast<uint32_t>(id));
                 } else {
                     *err = "unknown item word " + w;
                     return false;
                 }
             }
             return true;
         }},
        {"buffer",
         [](const Args& a, std::string* err) {
             long long id;
             std::vector<uint8_t> bytes;
             if (!Num(a, 0, &id, err) || !ParseBytes(a, 1, &bytes, err)) return false;
             SetItemBuffer(static_cast<uint32_t>(id), bytes);
             return true;
         }},
        {"refuse-group",
         [](const Args& a, std::string* err) {
             long long g;
             if (!Num(a, 0, &g, err)) return false;
             State()->acpi.groupFlags[g & 0xFF] |= GroupRefused;
             return true;
         }},
        {"mbif",
         [](const Args& a, std::string* err) {
             AcpiState& s = State()->acpi;
             s.mbifCount = 0;
             for (size_t i = 0; i < a.size() && i < 64; ++i) {
                 long long v;
                 if (!Num(a, i, &v, err)) return false;
                 s.mbif[s.mbifCount++] = static_cast<int32_t>(v);
             }
             return true;
         }},
        {"mbif-result",
         [](const Args& a, std::string* err) {
             long long v;
             if (!Num(a, 0, &v, err)) return false;
             State()->acpi.mbifResult = static_cast<int32_t>(v);
             return true;
         }},
        {"pci",
         [](const Args& a, std::string* err) {
             long long bus, dev, fn, reg, v;
             if (!Num(a, 0, &bus, err) || !Num(a, 1, &dev, err) || !Num(a, 2, &fn, err) ||
                 !Num(a, 3, &reg, err) || !Num(a, 4, &v, err))
                 return false;
             PciDevice* d = FindPci(bus, dev, fn, true);
             if (!d) {
                 *err = "too many PCI devices";
                 return false;
             }
             uint32_t dw = static_cast<uint32_t>(v);
             std::memcpy(d->cfg + (reg & 0xFC), &dw, 4);
             return true;
         }},
        {"msr",
         [](const Args& a, std::string* err) {
             long long idx, v;
             if (!Num(a, 0, &idx, err) || !Num(a, 1, &v, err)) return false;
             MsrEntry* m = FindMsr(static_cast<uint32_t>(idx), true);
             if (!m) {
                 *err = "too many MSRs";
                 return false;
             }
             m->value = static_cast<uint64_t>(v);
             return true;
         }},
        {"mem",
         [](const Args& a, std::string* err) {
             long long base;
             std::vector<uint8_t> bytes;
             if (!Num(a, 0, &base, err) || !ParseBytes(a, 1, &bytes, err)) return false;
             AddMemory(static_cast<uint32_t>(base), bytes);
             return true;
         }},
        {"product",
         [](const Args& a, std::string* err) {
             NEED(1);
             SetBoardProduct(a[0].text);
             return true;
         }},
        {"fault",
         [](const Args& a, std::string* err) {
             NEED(1);
             static const std::map<std::string, uint32_t> names = {{"quilio", FaultQuilIo},
                                                                   {"quilacpi", FaultQuilAcpi},
                                                                   {"hmlib", FaultHmLib},
                                                                   {"vvc2", FaultVvc2}};
             auto f = names.find(a[0].text);
             if (f == names.end()) {
                 *err = "unknown library " + a[0].text;
                 return false;
             }
             State()->libraryFaults |= f->second;
             return true;
         }},
    };
}

const StatementTable& Handlers() {
    static const StatementTable table = [] {
        StatementTable t = CoreStatements();
        t.merge(SioStatements());
        t.merge(BoxStatements());
        t.merge(AcpiTableStatements());
        t.merge(SensorStatements());
        t.merge(FirmwareBoxStatements());
        // Each further part of the board adds its statements here.
        return t;
    }();
    return table;
}

}  // namespace

bool ApplyBoardText(const std::string& text, std::string* error) {
    BoardLock lock;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    std::string local;
    std::string* err = error ? error : &local;
    while (std::getline(in, line)) {
        ++number;
        std::vector<Token> tokens;
        if (!Tokenize(line, &tokens, err)) {
            *err = "line " + std::to_string(number) + ": " + *err;
            return false;
        }
        if (tokens.empty()) continue;
        auto h = Handlers().find(tokens[0].text);
        if (h == Handlers().end()) {
            *err = "line " + std::to_string(number) + ": unknown statement " + tokens[0].text;
            return false;
        }
        Args args(tokens.begin() + 1, tokens.end());
        if (!h->second(args, err)) {
            *err = "line " + std::to_string(number) + ": " + *err;
            return false;
        }
    }
    return true;
}

bool LoadBoardText(const std::string& text, std::string* error) {
    BoardLock lock;
    ResetBoard();
    return ApplyBoardText(text, error);
}

bool LoadBoardFile(const std::wstring& path, std::string* error) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        if (error) *error = "cannot open the board description";
        return false;
    }
    std::string text;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(f, buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
    CloseHandle(f);
    return LoadBoardText(text, error);
}

std::string DescribeBoard() {
    BoardLock lock;
    BoardState* s = State();
    std::ostringstream o;
    char line[160];
    std::snprintf(line, sizeof line, "product: %s\nchip: id 0x%04X revision 0x%02X family %d\n", s->product,
                  s->sio.chipId, s->sio.revision, static_cast<int>(s->sio.family));
    o << line;
    for (int bank = 0; bank < kHwmBanks; ++bank) {
        bool any = false;
        for (int r = 0; r < 256 && !any; ++r) any = s->sio.hwm[bank][r] != 0;
        if (!any) continue;
        std::snprintf(line, sizeof line, "monitor bank %d:", bank);
        o << line;
        for (int r = 0; r < 256; ++r) {
            if (r % 16 == 0) {
                std::snprintf(line, sizeof line, "\n  %02X:", r);
                o << line;
            }
            std::snprintf(line, sizeof line, " %02X", s->sio.hwm[bank][r]);
            o << line;
        }
        o << "\n";
    }
    o << "BIOS items: " << s->acpi.itemCount << "\n";
    for (uint32_t i = 0; i < s->acpi.itemCount; ++i) {
        const BiosItem& it = s->acpi.items[i];
        std::snprintf(line, sizeof line, "  0x%08X value %d%s%s buffer %u bytes\n", it.id, it.value,
                      (it.flags & ItemListed) ? " listed" : "",
                      (it.flags & ItemHasValue) ? "" : " (no value)", it.bufLength);
        o << line;
    }
    std::snprintf(line, sizeof line, "writes logged: %u\n", s->writeCount);
    o << line;
    return o.str();
}

}  // namespace sim
