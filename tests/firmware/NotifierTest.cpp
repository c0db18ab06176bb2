// The system-control notifier against the stand-in service: registration over the pipe, events
// through the mailslot to the callback, and the stop.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "FirmwareSupport.h"
#include "board/FirmwareBox.h"
#include "boxtool/QuilSysProcNotify.h"
#include "support/BoardTest.h"
#include "support/Capture.h"

namespace {

struct Received {
    uint32_t code;
    std::vector<uint8_t> payload;
};
std::mutex g_lock;
std::vector<Received> g_received;

void Record(uint32_t code, void* payload) {
    const auto* bytes = static_cast<const uint8_t*>(payload);
    std::lock_guard<std::mutex> lock(g_lock);
    g_received.push_back({code, std::vector<uint8_t>(bytes, bytes + kNotifyPayloadSize)});
}

std::vector<Received> ReceivedEvents() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_received;
}

bool WriteToMailslot(const std::wstring& name, const void* data, DWORD size) {
    tolo::UniqueHandle slot(CreateFileW((L"\\\\.\\mailslot\\" + name).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return slot && WriteFile(slot.Get(), data, size, &written, nullptr) && written == size;
}

bool WriteEvent(const std::wstring& name, uint32_t code) {
    uint8_t message[kNotifyMessageSize] = {};
    std::memcpy(message, &code, sizeof code);
    return WriteToMailslot(name, message, sizeof message);
}

class NotifierTest : public test::BoardTest {
protected:
    // Mailslot names are machine-wide: each test takes its own.
    std::wstring Name(const wchar_t* stem) const {
        return std::wstring(stem) + std::to_wstring(GetCurrentProcessId());
    }
    static bool Delivered(size_t n) {
        return test::WaitFor([n] { return ReceivedEvents().size() >= n; });
    }
    QuilSysProcNotify notify_;
};

TEST_F(NotifierTest, RegistersItsMailslotAndHandsEventsToTheCallbackUntilStopped) {
    test::SysCtlService service;
    ASSERT_TRUE(service.Serving());
    const std::wstring name = Name(L"TfrmObxTestMain");
    notify_.Start(name.c_str(), Record);

    auto requests = sim::SysCtlRequests(GetCurrentProcessId());
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, kRegisterMailslot);
    EXPECT_EQ(requests[0].length, kSysControlRequestSize);
    EXPECT_EQ(requests[0].name, name);
    EXPECT_EQ(sim::SysCtlSlots(), std::vector<std::wstring>{name});

    sim::QueueSysCtlEvent(kEventKnob, {0x11, 0x22, 0x33});
    sim::QueueSysCtlEvent(kEventAudio);
    ASSERT_TRUE(Delivered(2));
    auto events = ReceivedEvents();
    EXPECT_EQ(events[0].code, kEventKnob);
    EXPECT_EQ(events[0].payload[0], 0x11);
    EXPECT_EQ(events[0].payload[2], 0x33);
    EXPECT_EQ(events[0].payload[3], 0);
    EXPECT_EQ(events[1].code, kEventAudio);

    notify_.Stop();
    requests = sim::SysCtlRequests(GetCurrentProcessId());
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].code, kUnregisterMailslot);
    EXPECT_EQ(requests[1].name, name);
    EXPECT_TRUE(sim::SysCtlSlots().empty());
    // The mailslot is gone with the listener.
    EXPECT_FALSE(WriteEvent(name, kEventMama));
    EXPECT_EQ(ReceivedEvents().size(), 2u);
    // The name may be another instance's by now: a later stop (the exit's) names nothing.
    notify_.Stop();
    requests = sim::SysCtlRequests(GetCurrentProcessId());
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_TRUE(requests[2].nameZero);
}

TEST_F(NotifierTest, StopWithoutStartUnregistersAnAllZeroName) {
    test::SysCtlService service;
    ASSERT_TRUE(service.Serving());
    notify_.Stop();
    const auto requests = sim::SysCtlRequests(GetCurrentProcessId());
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, kUnregisterMailslot);
    EXPECT_EQ(requests[0].length, kSysControlRequestSize);
    EXPECT_TRUE(requests[0].nameZero);
}

TEST_F(NotifierTest, StartOnAListeningNotifierReplacesMailslotAndListener) {
    test::SysCtlService service;
    ASSERT_TRUE(service.Serving());
    const std::wstring first = Name(L"FirstSlot"), second = Name(L"SecondSlot");
    notify_.Start(first.c_str(), Record);
    notify_.Start(second.c_str(), Record);
    EXPECT_FALSE(WriteEvent(first, kEventMama));
    ASSERT_TRUE(WriteEvent(second, kEventMama));
    ASSERT_TRUE(Delivered(1));
    EXPECT_EQ(ReceivedEvents()[0].code, kEventMama);
    const auto requests = sim::SysCtlRequests(GetCurrentProcessId());
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].name, first);
    EXPECT_EQ(requests[1].name, second);
    EXPECT_EQ(requests[1].code, kRegisterMailslot);
}

TEST_F(NotifierTest, MailslotThatCannotBeCreatedIsNeitherRegisteredNorListenedTo) {
    test::SysCtlService service;
    ASSERT_TRUE(service.Serving());
    const std::wstring name = Name(L"TakenSlot");
    tolo::MailslotW taken;
    ASSERT_TRUE(taken.Create(name.c_str(), 0, 0, nullptr));
    test::TraceCapture traces;
    notify_.Start(name.c_str(), Record);
    EXPECT_TRUE(traces.Contains(L"[BasicMailSlot::Create] failed! GetLastError returned "));
    EXPECT_TRUE(sim::SysCtlRequests(GetCurrentProcessId()).empty());
    // The message lands in the other owner's mailslot, not at the callback.
    ASSERT_TRUE(WriteEvent(name, kEventKnob));
    uint8_t message[kNotifyMessageSize];
    DWORD read = 0;
    EXPECT_TRUE(taken.Read(message, sizeof message, &read, nullptr));
    EXPECT_TRUE(ReceivedEvents().empty());
}

TEST_F(NotifierTest, WithoutTheServiceTheRegistrationFailsAndTheMailslotStillListens) {
    const std::wstring name = Name(L"LonelySlot");
    test::TraceCapture traces;
    notify_.Start(name.c_str(), Record);
    EXPECT_TRUE(traces.Contains(L"[BasicNamedPipe<char_t>::Call] failed, GetLastError returned " +
                                std::to_wstring(ERROR_FILE_NOT_FOUND)));
    ASSERT_TRUE(WriteEvent(name, kEventAudio));
    ASSERT_TRUE(Delivered(1));
    EXPECT_EQ(ReceivedEvents()[0].code, kEventAudio);
    notify_.Stop();
    EXPECT_FALSE(WriteEvent(name, kEventAudio));
}

// Fails on the first event it gets, as a handler whose allocation fails may.
std::atomic<bool> g_failed{false};
void FailOnce(uint32_t code, void* payload) {
    if (!g_failed.exchange(true)) throw std::bad_alloc();
    Record(code, payload);
}

TEST_F(NotifierTest, AFailingCallbackLosesItsMessageAndTheListenerGoesOn) {
    const std::wstring name = Name(L"FailingSlot");
    notify_.Start(name.c_str(), FailOnce);
    ASSERT_TRUE(WriteEvent(name, kEventMama));
    ASSERT_TRUE(WriteEvent(name, kEventKnob));
    ASSERT_TRUE(Delivered(1));
    EXPECT_TRUE(g_failed);
    const auto events = ReceivedEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, kEventKnob);
}

QuilSysProcNotify* g_stopper = nullptr;
void StopOnMama(uint32_t code, void* payload) {
    Record(code, payload);
    if (code == kEventMama) g_stopper->Stop();
}

TEST_F(NotifierTest, CallbackMayStopTheNotifierItRunsOn) {
    test::SysCtlService service;
    ASSERT_TRUE(service.Serving());
    const std::wstring name = Name(L"SelfStopSlot");
    g_stopper = &notify_;
    notify_.Start(name.c_str(), StopOnMama);
    ASSERT_TRUE(WriteEvent(name, kEventMama));
    ASSERT_TRUE(test::WaitFor([] { return sim::SysCtlRequests(GetCurrentProcessId()).size() == 2; }));
    EXPECT_EQ(sim::SysCtlRequests(GetCurrentProcessId())[1].code, kUnregisterMailslot);
    EXPECT_TRUE(test::WaitFor([&] { return !WriteEvent(name, kEventKnob); }));
    // Started again, it listens again.
    notify_.Start(name.c_str(), Record);
    ASSERT_TRUE(WriteEvent(name, kEventAudio));
    ASSERT_TRUE(Delivered(2));
    EXPECT_EQ(ReceivedEvents()[1].code, kEventAudio);
}

}  // namespace
