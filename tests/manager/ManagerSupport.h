// A simulated board for the fan manager: its product in SMBIOS (read by the memory scan), the
// fan devices the firmware declares, a settings store and the service's event of this process.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <string>

#include "fancore/EcFanControlManager.h"
#include "support/BoardTest.h"
#include "support/Capture.h"
#include "system/Handles.h"

class QuilFanControl;

namespace test {

class ManagerTest : public BoardTest {
protected:
    std::string BoardText() const override;
    void SetUp() override;
    void TearDown() override;

    // Declares each id as a present ACPI fan device (a described item of its group).
    void Devices(std::initializer_list<uint32_t> ids);
    void Product(const std::string& product);
    // Writes FanStore.xml before the store first reads it: `fans` is the inner text of <root>.
    void Store(const std::string& fans);
    // The stored int `name` of the fan element `key`; -1 when absent.
    int Stored(int key, const char* name) const;
    bool HasElement(int key, const char* name) const;
    std::string StorePath() const { return storePath_; }
    HANDLE Event() const { return event_.Get(); }

    // "Class index id, ..." of the manager's list.
    static std::string Describe(const EcFanControlManager& manager);
    static std::string ClassOf(QuilFanControl* fan);
    // "none", "EcHelper" or "NewEcHelper", with " disabled" and " all" for its two bytes.
    static std::string HelperOf(const EcFanControlManager& manager);

    MessageBoxCapture boxes_;

private:
    std::string storePath_;
    std::wstring eventName_;
    tolo::UniqueHandle event_;
};

}  // namespace test
