// A small automation server of the test's own, registered for the fan service's ProgID inside the
// test process (in its multithreaded apartment). Tests that use it change what the whole prefix
// sees (the ProgID) and take SYSTEM_BOARD. It answers the members the box tool uses, with
// the argument and result types of the real service, and logs every call it receives.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace test {

struct FakeFan {
    std::wstring name;
    uint32_t duty = 0;                                // DutyCycle, 0 to 255: the user curve's
                                                      // first point once the user profile applies
    std::vector<uint32_t> userCurve{10, 20, 30, 40};  // speeds of the user profile's points
    int profileCount = 5;
    int appliedIndex = -1;  // last ApplyIndex
};

// One logged call: which manager's object graph it reached, then "object member kind arguments",
// e.g. "fans Item get I4:1", "point/2 Speed put UI4:76", "fan1 NormalizeFanCurve call curve1".
struct FakeCall {
    int manager;
    std::string text;
};

// Points the ProgID somewhere else for the life of the object: at nothing (the service is not
// registered) or at a class id nobody serves. What the ProgID named before comes back afterwards,
// unless it named a class without a server: that is an override of a test killed half way, removed.
class ProgIdOverride {
public:
    explicit ProgIdOverride(const wchar_t* clsid);  // null: remove the ProgID
    ~ProgIdOverride();
    ProgIdOverride(const ProgIdOverride&) = delete;
    ProgIdOverride& operator=(const ProgIdOverride&) = delete;

private:
    bool existed_ = false;
    std::wstring previous_;
};

class FakeFanService {
public:
    // Points the ProgID at the fake's class, a class id of its own, for the life of the object
    // (ProgIdOverride).
    explicit FakeFanService(std::vector<FakeFan> fans);
    ~FakeFanService();
    FakeFanService(const FakeFanService&) = delete;
    FakeFanService& operator=(const FakeFanService&) = delete;

    std::vector<FakeCall> Calls() const;
    // Texts of the calls that reached the object graph of one manager.
    std::vector<std::string> CallsOf(int manager) const;
    int ManagersCreated() const;
    FakeFan Fan(int index) const;
    void SetFan(int index, const FakeFan& fan);
    void SetFanCount(size_t count);
    // The next calls of "object member" fail: with the description given, or plain E_FAIL.
    void FailMember(const std::string& objectMember, const std::wstring& description);

    // The next call of "object member" waits, once logged and before it is answered, until
    // ReleaseHeld; WaitHeld waits (up to timeoutMs) until it has come.
    void HoldMember(const std::string& objectMember);
    bool WaitHeld(DWORD timeoutMs);
    void ReleaseHeld();

    // The next `count` requests for a manager fail with hr.
    void FailCreations(int count, HRESULT hr);

    // Whether the class object could be registered.
    bool Registered() const { return registered_; }

    struct State;

private:
    std::shared_ptr<State> state_;
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
    std::unique_ptr<ProgIdOverride> override_;
    bool registered_ = false;
};

}  // namespace test
