// Board statements and control of the firmware box channel's surroundings.
#include <cwchar>

#include "BoardStatements.h"
#include "FirmwareBox.h"

namespace sim {

bool SetQueryAnswer(uint32_t item, int32_t code, int32_t value) {
    BoardLock lock;
    FirmwareBoxState& f = State()->fwbox;
    item &= 0xFF00FFFF;
    for (uint32_t i = 0; i < f.answerCount; ++i) {
        if (f.answers[i].item == item && f.answers[i].code == code) {
            f.answers[i].value = value;
            return true;
        }
    }
    if (f.answerCount >= kQueryAnswers) return false;
    f.answers[f.answerCount++] = {item, code, value};
    return true;
}

bool FindQueryAnswer(uint32_t item, int32_t code, int32_t* value) {
    BoardLock lock;
    const FirmwareBoxState& f = State()->fwbox;
    item &= 0xFF00FFFF;
    bool known = false;
    *value = 0;  // a query the firmware has no answer for reads 0
    for (uint32_t i = 0; i < f.answerCount; ++i) {
        if (f.answers[i].item != item) continue;
        known = true;
        if (f.answers[i].code == code) *value = f.answers[i].value;
    }
    return known;
}

void QueueSysCtlEvent(uint32_t code, const std::vector<uint8_t>& payload) {
    BoardLock lock;
    FirmwareBoxState& f = State()->fwbox;
    if (f.eventsQueued - f.eventsDone >= kSysCtlEvents) return;  // the queue is full: dropped
    SysCtlEvent& e = f.events[f.eventsQueued % kSysCtlEvents];
    e = SysCtlEvent{};
    e.code = code;
    for (size_t i = 0; i < payload.size() && i < sizeof e.payload; ++i) e.payload[i] = payload[i];
    ++f.eventsQueued;
}

std::vector<SysCtlRequestRecord> SysCtlRequests(uint32_t clientPid) {
    BoardLock lock;
    const FirmwareBoxState& f = State()->fwbox;
    std::vector<SysCtlRequestRecord> out;
    const uint32_t first = f.requestCount > kSysCtlRequests ? f.requestCount - kSysCtlRequests : 0;
    for (uint32_t i = first; i < f.requestCount; ++i) {
        const SysCtlRequest& r = f.requests[i % kSysCtlRequests];
        if (clientPid && r.clientPid != clientPid) continue;
        SysCtlRequestRecord rec{r.clientPid, r.code, r.length,
                                std::wstring(r.name, wcsnlen(r.name, kSysCtlNameChars)), true};
        for (wchar_t ch : r.name) rec.nameZero = rec.nameZero && ch == 0;
        out.push_back(rec);
    }
    return out;
}

std::vector<std::wstring> SysCtlSlots() {
    BoardLock lock;
    const FirmwareBoxState& f = State()->fwbox;
    std::vector<std::wstring> out;
    for (uint32_t i = 0; i < f.slotCount; ++i)
        out.emplace_back(f.slots[i], wcsnlen(f.slots[i], kSysCtlNameChars));
    return out;
}

StatementTable FirmwareBoxStatements() {
    return {
        {"query-answer",
         [](const Args& a, std::string* err) {
             long long item, code, value;
             if (!Num(a, 0, &item, err) || !Num(a, 1, &code, err) || !Num(a, 2, &value, err)) return false;
             if (SetQueryAnswer(static_cast<uint32_t>(item), static_cast<int32_t>(code),
                                static_cast<int32_t>(value)))
                 return true;
             *err = "too many query answers";
             return false;
         }},
        {"sysctl-event",
         [](const Args& a, std::string* err) {
             long long code;
             std::vector<uint8_t> payload;
             if (!Num(a, 0, &code, err) || !ParseBytes(a, 1, &payload, err)) return false;
             if (payload.size() > kSysCtlPayload) {
                 *err = "payload longer than 520 bytes";
                 return false;
             }
             QueueSysCtlEvent(static_cast<uint32_t>(code), payload);
             return true;
         }},
    };
}

}  // namespace sim
