#include "FanStore.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <tinyxml.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FanLimits.h"
#include "bios/AcpiLibrary.h"
#include "bios/BiosInterface.h"
#include "system/Handles.h"
#include "system/Text.h"
#include "system/Trace.h"

namespace {

std::string g_pathOverride;
// Saves of this thread that did not reach the file: a caller compares the count before and after
// an operation to learn whether what it changed was stored.
thread_local unsigned t_failedSaves = 0;
// The FanStoreNoSaves scopes the thread is in.
thread_local unsigned t_noSaves = 0;

// A program that has the file open (a scanner, a backup, a user's viewer) keeps it from being read
// or replaced for a while: such a step is tried again, up to `tries` times, before it fails.
constexpr DWORD kHeldPauseMs = 50;
constexpr int kSaveTries = 10;    // about half a second
constexpr int kStartTries = 100;  // about five seconds: at boot such programs hold files longer

bool IsHeld(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

template <class Step>
bool WhileHeld(int tries, Step&& step) {
    for (int i = 1;; ++i) {
        if (step()) return true;
        if (i == tries || !IsHeld(GetLastError())) return false;
        Sleep(kHeldPauseMs);
    }
}

bool MoveIntoPlace(const char* from, const char* to) {
    return WhileHeld(kSaveTries, [&] {
        return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    });
}

// Only ASCII letters fold: names and keys must not depend on the code page or the locale.
char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(const char* name) {
    std::string s = name ? name : "";
    for (char& c : s) c = AsciiLower(c);
    return s;
}

bool HasKey(const char* key) {
    return key && *key;
}

bool EqualKeysNoCase(const char* a, const char* b) {
    const size_t n = std::strlen(a);
    if (n != std::strlen(b)) return false;
    for (size_t i = 0; i < n; ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

bool KeyMatches(const TiXmlElement* e, const char* key) {
    const char* attribute = e->Attribute("key");
    if (!HasKey(key)) return attribute == nullptr;
    return attribute && EqualKeysNoCase(attribute, key);
}

TiXmlElement* FindOrCreateKeyedElement(TiXmlNode* node, const char* name, const char* key, bool create) {
    if (!node) return nullptr;
    const std::string lower = Lower(name);
    for (TiXmlNode* child = node->FirstChild(lower.c_str()); child;
         child = child->NextSibling(lower.c_str())) {
        TiXmlElement* e = child->ToElement();
        if (!e) break;
        if (KeyMatches(e, key)) return e;
    }
    if (!create) return nullptr;
    auto* e = new TiXmlElement(lower.c_str());
    if (HasKey(key)) e->SetAttribute("key", key);
    node->LinkEndChild(e);
    return e;
}

TiXmlText* FirstText(TiXmlNode* e) {
    TiXmlNode* first = e->FirstChild();
    return first ? first->ToText() : nullptr;
}

bool StartsWith(const std::string& text, const char* part) {
    return text.compare(0, std::strlen(part), part) == 0;
}

// Whether the parser would give back other than `text` from it written as plain element text: it
// drops white space at either end and condenses runs of it, skips byte-order marks (and U+FFFE,
// U+FFFF) before the first character, and drops a text of white space alone. The writer turns
// control characters into character references, so only the space itself stays raw.
bool ParserChanges(const std::string& text) {
    if (text.empty()) return false;
    if (text.front() == ' ' || text.back() == ' ' || text.find("  ") != std::string::npos) return true;
    if (StartsWith(text, "\xEF\xBB\xBF") || StartsWith(text, "\xEF\xBF\xBE") ||
        StartsWith(text, "\xEF\xBF\xBF"))
        return true;
    return text.find_first_not_of(" \t\n\v\f\r") == std::string::npos;
}

// The element's own text: its text and CDATA children up to the first other node.
std::string OwnText(TiXmlNode* e) {
    std::string text;
    for (TiXmlNode* child = e->FirstChild(); child && child->ToText(); child = child->NextSibling())
        text += child->Value();
    return text;
}

// A text the parser would change is written as CDATA sections, which it reads back byte for byte:
// "]]>", which ends a section, is split over two of them, and the loader keeps a carriage return
// inside a section (LoadDocument).
bool SetText(TiXmlNode* e, const std::string& text) {
    TiXmlNode* first = e->FirstChild();
    if (first && !first->ToText()) return false;
    while ((first = e->FirstChild()) && first->ToText()) e->RemoveChild(first);
    TiXmlNode* const rest = e->FirstChild();
    const auto add = [&](const std::string& piece, bool cdata) {
        TiXmlText t(piece.c_str());
        t.SetCDATA(cdata);
        if (rest)
            e->InsertBeforeChild(rest, t);
        else
            e->InsertEndChild(t);
    };
    if (!ParserChanges(text)) {
        add(text, false);
        return true;
    }
    size_t from = 0;
    for (size_t end; (end = text.find("]]>", from)) != std::string::npos; from = end + 2)
        add(text.substr(from, end + 2 - from), true);
    add(text.substr(from), true);
    return true;
}

// A stored number read as atoi reads it (white space, a sign, digits, anything after them ignored),
// except that one too large for an int reads as the int nearest to it, never as its low bits.
int StoredNumber(const char* text) {
    const long long v = std::strtoll(text, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

std::string Decimal(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d", v);
    return buf;
}

std::string ExecutableDirectory() {
    std::vector<char> buf(128);
    DWORD n;
    while ((n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()))) == buf.size())
        buf.resize(buf.size() * 2);
    std::string path(buf.data(), n);
    size_t cut = path.rfind('\\');
    if (cut == std::string::npos) cut = path.find(':');
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// A document that starts with the declaration and then, after any comments (a hand edit; blank
// text between nodes is not kept by the parser), an element: that element.
TiXmlElement* RootOf(TiXmlDocument& doc) {
    TiXmlNode* first = doc.FirstChild();
    if (!first || !first->ToDeclaration()) return nullptr;
    TiXmlNode* next = first->NextSibling();
    while (next && next->ToComment()) next = next->NextSibling();
    return next ? next->ToElement() : nullptr;
}

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

bool IsUtf8(const std::string& bytes) {
    return bytes.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                                static_cast<int>(bytes.size()), nullptr, 0) > 0;
}

// The text up to its first NUL with each line end (CR LF, CR) made LF, as TinyXML's LoadFile gives
// a file to its parser; but a carriage return inside a CDATA section that is not part of a line
// end is the text's own (SetText writes it so) and stays.
std::string LineEndsAsLoaded(const std::string& text) {
    std::string out;
    bool cdata = false;
    for (size_t i = 0; i < text.size() && text[i] != '\0'; ++i) {
        if (!cdata && text.compare(i, 9, "<![CDATA[") == 0)
            cdata = true;
        else if (cdata && text.compare(i, 3, "]]>") == 0)
            cdata = false;
        if (text[i] != '\r') {
            out += text[i];
            continue;
        }
        const bool crlf = i + 1 < text.size() && text[i + 1] == '\n';
        if (cdata && !crlf) {
            out += '\r';
            continue;
        }
        out += '\n';
        if (crlf) ++i;
    }
    return out;
}

// The file's texts in UTF-8: each run between markup characters in the encoding it is valid in,
// UTF-8 as the store writes it, else the ANSI code page, as an editor may have saved a name.
std::string TextsAsUtf8(const std::string& bytes) {
    if (IsUtf8(bytes)) return bytes;
    std::string out;
    for (size_t from = 0; from < bytes.size();) {
        size_t end = bytes.find_first_of("<>", from);
        end = end == std::string::npos ? bytes.size() : end + 1;
        const std::string run = bytes.substr(from, end - from);
        if (IsUtf8(run)) {
            out += run;
        } else {
            const std::wstring wide = tolo::WideFromNarrow(run, CP_ACP);
            out += tolo::NarrowFromWide(wide.data(), wide.size(), CP_UTF8);
        }
        from = end;
    }
    return out;
}

// How reading the store's file went.
enum class Read { Loaded, NotLoaded, Held };

// Loads the file into `doc` as TinyXML's own load does (binary, its encoding detection); a file
// that another program keeps from being opened is waited for. NotLoaded: missing, empty or not
// parsed; Held: there, but it could not be opened.
Read LoadDocument(TiXmlDocument* doc, const std::string& path, int tries) {
    tolo::UniqueHandle handle;
    const bool opened = WhileHeld(tries, [&] {
        handle.Reset(CreateFileA(path.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return handle.Valid();
    });
    if (!opened) return IsHeld(GetLastError()) ? Read::Held : Read::NotLoaded;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle.Get()), _O_RDONLY);
    if (fd == -1) return Read::Held;
    handle.Release();  // the descriptor owns it now
    File file{_fdopen(fd, "rb"), &std::fclose};
    if (!file) {
        _close(fd);
        return Read::Held;
    }
    std::string bytes;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0;) bytes.append(chunk, n);
    if (std::ferror(file.get())) return Read::NotLoaded;
    const std::string text = LineEndsAsLoaded(TextsAsUtf8(bytes));
    doc->Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    return doc->Error() ? Read::NotLoaded : Read::Loaded;
}

// A file that is there but does not parse may still hold the user's settings (an editor that
// saved it in another encoding, a cut-off write): its bytes go to "<path>.bad" before the store
// replaces it. False when they could not be kept; then the file must not be replaced.
bool KeepUnreadable(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return true;  // missing
    if (data.nFileSizeLow == 0 && data.nFileSizeHigh == 0) return true;                  // nothing to keep
    const std::string kept = path + ".bad";
    if (!CopyFileA(path.c_str(), kept.c_str(), FALSE)) return false;
    tolo::TraceF("FanStore.xml does not parse; its bytes are kept in %s", kept.c_str());
    return true;
}

// The file on disk is always a whole document, the old one until the new one is complete: the
// document goes to a file beside it, is flushed to the disk and then put in its place in one step.
bool SaveWhole(const TiXmlDocument& doc, const std::string& path) {
    // A file the user made read-only keeps its settings, whatever the platform's replace would do
    // with it (Wine's goes through).
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return false;
    const std::string temporary = path + ".tmp";
    bool written = false;
    // Text mode, as TinyXML saves a file itself: the bytes stay those of every earlier save.
    if (File file{std::fopen(temporary.c_str(), "w"), &std::fclose}; file) {
        written = doc.SaveFile(file.get()) && std::fflush(file.get()) == 0 &&
                  FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file.get()))));
        // A write the runtime still buffered can fail only here.
        written = std::fclose(file.release()) == 0 && written;
    }
    if (written && g_fanStoreReplace(temporary.c_str(), path.c_str())) return true;
    DeleteFileA(temporary.c_str());
    return false;
}

}  // namespace

FanStoreReplaceFn g_fanStoreReplace = &MoveIntoPlace;

FanStoreNoSaves::FanStoreNoSaves() {
    ++t_noSaves;
}

FanStoreNoSaves::~FanStoreNoSaves() {
    --t_noSaves;
}

unsigned FanStoreFailedSaves() {
    return t_failedSaves;
}

void UseFanStorePath(const std::string& path) {
    g_pathOverride = path;
}

int FanStoreKeyFromFanType(int fanType) {
    switch (fanType) {
        case 0:
        case 1: return 0;
        case 2:
        case 3: return 1;
        case 4: return 2;
        case 6: return 3;
        case 8: return 4;
        case 10: return 5;
        default: return fanType < 100 ? fanType : fanType - 94;
    }
}

// --- FanStoreNode -------------------------------------------------------------------------------

FanStoreNode FanStoreNode::Child(const char* name, const char* key) const {
    return FanStoreNode(FindOrCreateKeyedElement(m_node, name, key, true));
}

FanStoreNode FanStoreNode::Find(const char* name, const char* key) const {
    if (!m_node) return {};
    const std::string lower = Lower(name);
    if (!HasKey(key)) return FanStoreNode(m_node->FirstChild(lower.c_str()));
    for (TiXmlElement* e = m_node->FirstChildElement(lower.c_str()); e;
         e = e->NextSiblingElement(lower.c_str()))
        if (KeyMatches(e, key)) return FanStoreNode(e);
    return {};
}

void FanStoreNode::Remove(const char* name, const char* key) const {
    if (TiXmlElement* e = FindOrCreateKeyedElement(m_node, name, key, false)) m_node->RemoveChild(e);
}

bool FanStoreNode::GetString(const char* name, std::string* out) const {
    TiXmlElement* e = FindOrCreateKeyedElement(m_node, name, nullptr, false);
    if (!e) {
        tolo::TraceF("type=%s key=%s", Lower(name).c_str(), "(null)");
        return false;
    }
    if (!e->FirstChild()) e->LinkEndChild(new TiXmlText(""));
    if (!FirstText(e)) return false;
    *out = OwnText(e);
    return true;
}

bool FanStoreNode::GetInt(const char* name, int* out) const {
    std::string text;
    if (!GetString(name, &text)) return false;
    *out = StoredNumber(text.c_str());
    return true;
}

bool FanStoreNode::SetString(const char* name, const std::string& text) const {
    TiXmlElement* e = FindOrCreateKeyedElement(m_node, name, nullptr, true);
    return e && SetText(e, text);
}

bool FanStoreNode::SetInt(const char* name, int value) const {
    return SetString(name, Decimal(value));
}

bool FanStoreNode::GetOwnInt(int* out) const {
    if (!m_node) return false;
    if (!m_node->FirstChild()) {
        *out = 0;
        return true;
    }
    if (FirstText(m_node)) *out = StoredNumber(OwnText(m_node).c_str());
    return true;
}

bool FanStoreNode::SetOwnInt(int value) const {
    return m_node && SetText(m_node, Decimal(value));
}

// --- FanStore -----------------------------------------------------------------------------------

FanStore& FanStore::Instance() {
    // The first call is serialised by the guarded initialisation: a second thread waits for the
    // store to be opened. The store lives until the process ends.
    static FanStore* store = new FanStore;
    return *store;
}

FanStore::FanStore() {
    m_path = g_pathOverride.empty() ? ExecutableDirectory() + "FanStore.xml" : g_pathOverride;
    Open(m_path, true, kStartTries);
}

bool FanStore::Open(const std::string& path, bool create, int tries) {
    auto doc = std::make_unique<TiXmlDocument>();
    const Read read = LoadDocument(doc.get(), path, tries);
    // A file that is there but cannot be read holds the user's settings all the same: it is
    // neither taken for a missing one nor written over, and it is read again before the next use.
    const bool wasHeld = m_held;
    m_held = read == Read::Held;
    if (m_held) return false;
    m_readLate = m_readLate || wasHeld;
    if (read == Read::NotLoaded) {
        if (!create) return false;
        // After whatever TinyXML kept of a file it could not parse.
        doc->LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", "no"));
        doc->LinkEndChild(new TiXmlElement("root"));
        // Writing back a document the store cannot use would destroy the file and gain nothing.
        if (!RootOf(*doc) || !KeepUnreadable(path) || !SaveWhole(*doc, path)) return false;
    }
    TiXmlElement* root = RootOf(*doc);
    if (!root) return false;
    m_document = std::move(doc);
    m_root = root;
    return true;
}

bool FanStore::IsUsable() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    return !Root().IsNull();
}

bool FanStore::TakeLateRead() {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    Root();  // a file still held is tried once more
    const bool late = m_readLate;
    m_readLate = false;
    return late;
}

bool FanStore::Save() {
    if (t_noSaves) return true;
    // Without a document (a file the store could not use) nothing can be stored.
    return m_document && SaveWhole(*m_document, m_path) ? true : NotStored();
}

bool FanStore::NotStored() {
    if (!t_noSaves) ++t_failedSaves;
    return false;
}

FanStoreNode FanStore::Root() {
    // Once, without waiting: every operation comes here, and a file still held must not stall
    // each of them.
    if (!m_document && m_held) Open(m_path, true, 1);
    return FanStoreNode(m_document ? m_root : nullptr);
}

FanStoreNode FanStore::Fan(int fanType) {
    return Root().Child("fan", Decimal(FanStoreKeyFromFanType(fanType)).c_str());
}

int FanStore::GetFanInt(int fanType, const char* name, int missing, bool (*accepts)(int64_t)) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    int v = missing;
    Fan(fanType).GetInt(name, &v);
    // A value no client could have set (a hand edit, an older build) is not the fan's.
    return accepts && !accepts(v) ? missing : v;
}

bool FanStore::SetFanInt(int fanType, const char* name, int value) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    FanStoreNode fan = Fan(fanType);
    if (fan.IsNull()) return NotStored();
    fan.SetInt(name, value);
    return Save();
}

int FanStore::GetTopInt(const char* name) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    FanStoreNode node = Root().Find(name);
    if (node.IsNull()) return -1;
    int v = 0;
    node.GetOwnInt(&v);
    return v;
}

bool FanStore::SetTopInt(const char* name, int value) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    FanStoreNode node = Root().Child(name);
    if (node.IsNull()) return NotStored();
    node.SetOwnInt(value);
    return Save();
}

int FanStore::GetIsChangeFan() {
    return GetTopInt("IsChangeFan");
}
int FanStore::GetGpio34() {
    return GetTopInt("GPIO34");
}
int FanStore::GetInverse() {
    return GetTopInt("Inverse");
}
bool FanStore::SetIsChangeFan(uint8_t value) {
    return SetTopInt("IsChangeFan", value);
}
bool FanStore::SetGpio34(uint8_t value) {
    return SetTopInt("GPIO34", value);
}

bool FanStore::GetEcFanOff(int fanType) {
    return GetFanInt(fanType, "EcFanOff") != 0;
}
bool FanStore::GetRpmMode(int fanType) {
    return GetFanInt(fanType, "rpmmode") != 0;
}
int FanStore::GetFanSourceIndex(int fanType) {
    return GetFanInt(fanType, "FanSourceIndex");
}
int FanStore::GetManualMode(int fanType) {
    return GetFanInt(fanType, "manualmode");
}
int FanStore::GetRpmDuty(int fanType) {
    return GetFanInt(fanType, "rpmduty", 0, &FitsRegister);
}
int FanStore::GetTolerance(int fanType) {
    return GetFanInt(fanType, "Tolerance", 0, &FitsRegister);
}
int FanStore::GetRpm(int fanType) {
    return GetFanInt(fanType, "rpm", 0, &IsRpmTarget);
}
int FanStore::GetStepDownTime(int fanType) {
    return GetFanInt(fanType, "StepDownTime", 0, &IsStepTime);
}
int FanStore::GetStepUnit(int fanType) {
    return GetFanInt(fanType, "StepUnit", 0, &FitsRegister);
}
int FanStore::GetStepUpTime(int fanType) {
    return GetFanInt(fanType, "StepUpTime", 0, &IsStepTime);
}
int FanStore::GetT1DelayTime(int fanType) {
    return GetFanInt(fanType, "T1DelayTime", 0, &FitsRegister);
}
int FanStore::GetTempTolerance(int fanType) {
    return GetFanInt(fanType, "TempTolerance", -1, &IsTempTolerance);
}

bool FanStore::SetEcFanOff(int fanType, uint8_t value) {
    return SetFanInt(fanType, "EcFanOff", value);
}
bool FanStore::SetEcEnable(int fanType, int value) {
    return SetFanInt(fanType, "EcEnable", value);
}
bool FanStore::SetFanSourceIndex(int fanType, int value) {
    return SetFanInt(fanType, "FanSourceIndex", value);
}
bool FanStore::SetManualMode(int fanType, int value) {
    return SetFanInt(fanType, "manualmode", value);
}
bool FanStore::SetRpmMode(int fanType, int value) {
    return SetFanInt(fanType, "rpmmode", value);
}
bool FanStore::SetRpmDuty(int fanType, int value) {
    return SetFanInt(fanType, "rpmduty", value);
}
bool FanStore::SetTolerance(int fanType, int value) {
    return SetFanInt(fanType, "Tolerance", value);
}
bool FanStore::SetRpm(int fanType, int value) {
    return SetFanInt(fanType, "rpm", value);
}
bool FanStore::SetStepDownTime(int fanType, int value) {
    return SetFanInt(fanType, "StepDownTime", value);
}
bool FanStore::SetStepUnit(int fanType, int value) {
    return SetFanInt(fanType, "StepUnit", value);
}
bool FanStore::SetStepUpTime(int fanType, int value) {
    return SetFanInt(fanType, "StepUpTime", value);
}
bool FanStore::SetT1DelayTime(int fanType, int value) {
    return SetFanInt(fanType, "T1DelayTime", value);
}
bool FanStore::SetTempTolerance(int fanType, int value) {
    return SetFanInt(fanType, "TempTolerance", value);
}

bool FanStore::GetEcEnable(int fanType) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    FanStoreNode fan = Root().Find("fan", Decimal(FanStoreKeyFromFanType(fanType)).c_str());
    FanStoreNode value = fan.Find("EcEnable");
    int v = 0;
    return !value.IsNull() && value.GetOwnInt(&v) && v == 1;
}

bool FanStore::GetFanName(int fanType, std::string* name) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    Fan(fanType).GetString("FanName", name);
    return true;
}

bool FanStore::SetFanName(int fanType, const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    FanStoreNode fan = Fan(fanType);
    if (fan.IsNull()) {
        NotStored();
        return true;
    }
    fan.SetString("FanName", name);
    Save();
    return true;
}

size_t FanStore::ReadCurve(int fanType, FanPoints* points, bool second) {
    return ReadCurveByName(fanType, points, second ? "extracurve" : "curvedata");
}

size_t FanStore::ReadCurveByName(int fanType, FanPoints* points, const char* name) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    FanStoreNode curve = Fan(fanType).Child(name);
    if (curve.IsNull()) return 0;
    size_t filled = 0;
    for (size_t i = 0; i < points->size(); ++i) {
        FanStoreNode point = curve.Find("point", Decimal(static_cast<int>(i)).c_str());
        if (point.IsNull()) continue;
        int x = 0, y = 0;
        point.GetInt("X", &x);
        point.GetInt("Y", &y);
        (*points)[i] = {x, y};
        ++filled;
    }
    return filled;
}

bool FanStore::WriteCurve(int fanType, const FanPoints& points, bool second) {
    return WriteCurveByName(fanType, points, second ? "extracurve" : "curvedata");
}

bool FanStore::WriteCurveByName(int fanType, const FanPoints& points, const char* name) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    FanStoreNode curve = Fan(fanType).Child(name);
    if (curve.IsNull()) return NotStored();
    for (size_t i = 0; i < points.size(); ++i) {
        FanStoreNode point = curve.Child("point", Decimal(static_cast<int>(i)).c_str());
        point.SetInt("X", points[i].temperature);
        point.SetInt("Y", points[i].duty);
    }
    // The points of a longer curve saved before are not part of this one.
    for (int i = static_cast<int>(points.size());; ++i) {
        const std::string key = Decimal(i);
        if (curve.Find("point", key.c_str()).IsNull()) break;
        curve.Remove("point", key.c_str());
    }
    return Save();
}

bool FanStore::HasCurve(int fanType) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    FanStoreNode root = Root();
    if (root.IsNull()) return false;
    // The file must still load; the answer comes from the document in memory.
    TiXmlDocument check;
    if (LoadDocument(&check, m_path, kSaveTries) != Read::Loaded || !RootOf(check)) return false;
    FanStoreNode fan = root.Find("fan", Decimal(FanStoreKeyFromFanType(fanType)).c_str());
    return !fan.IsNull() && !fan.Find("curvedata").IsNull();
}

std::vector<int> FanStore::ReadMultiSource(int fanType) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    std::vector<int> out;
    FanStoreNode list = Fan(fanType).Find("MultiSourceIndex");
    const int n = CountSourceSensorItems();
    if (list.IsNull() || n <= 0) return out;
    for (int i = 0; i < n; ++i) {
        int v = 0;
        list.GetInt(("source_" + Decimal(i)).c_str(), &v);
        if (v == 0) break;
        out.push_back(v);
    }
    return out;
}

bool FanStore::WriteMultiSource(int fanType, const std::vector<int>& values) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    FanStoreNode fan = Fan(fanType);
    if (fan.IsNull()) return NotStored();
    fan.Remove("MultiSourceIndex");
    FanStoreNode list = fan.Child("MultiSourceIndex");
    for (size_t i = 0; i < values.size(); ++i)
        list.SetInt(("source_" + Decimal(static_cast<int>(i))).c_str(), values[i]);
    return Save();
}

void FanStore::ReadWeights(int fanType, std::vector<int>* weights) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    weights->clear();
    FanStoreNode w = Fan(fanType).Find("weights");
    const int n = CountSourceSensorItems();
    if (w.IsNull()) {
        weights->assign(n > 0 ? n : 0, 0);
        if (!weights->empty()) (*weights)[0] = 100;
        WriteWeights(fanType, *weights);
        return;
    }
    for (int i = 0; i < n; ++i) {
        int v = 0;
        w.GetInt(("sensor_" + Decimal(i)).c_str(), &v);
        weights->push_back(IsThermalWeight(v) ? v : 0);
    }
}

bool FanStore::WriteWeights(int fanType, const std::vector<int>& weights) {
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    FanStoreNode w = Fan(fanType).Child("weights");
    if (w.IsNull()) return NotStored();
    for (size_t i = 0; i < weights.size(); ++i)
        w.SetInt(("sensor_" + Decimal(static_cast<int>(i))).c_str(), weights[i]);
    return Save();
}

// --- firmware queries ---------------------------------------------------------------------------

int CountSourceSensorItems() {
    acpi::Init();
    GroupInfoTraverser group;
    if (!group.Open(6)) return 0;
    int n = 0;
    for (; !group.IsEnd(); group.Next()) n += ((group.CurrentId() >> 16) & 0xF) == 3;
    return n;
}

std::string GetBiosFanName(uint32_t itemId) {
    GroupInfoTraverser group;
    std::string name;
    if (group.Open(4)) {
        for (; !group.IsEnd(); group.Next()) {
            if (group.CurrentId() != itemId) continue;
            std::unique_ptr<BasicBiosItem<char>> item(CreateBiosItem<char>(group));
            name = item->GetName();
            break;
        }
    }
    for (const char* marker : {"control", "Z-FAN"}) {
        size_t at = name.find(marker);
        if (at != std::string::npos) name.resize(at);
    }
    return name;
}
