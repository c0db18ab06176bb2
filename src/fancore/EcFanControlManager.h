// The fan manager: identifies the board from its SMBIOS product (WMI as the fall-back), builds the
// board's fan objects with their EC helper and initialises them. Its fan list is the fan order
// every client and the restore see. Created on first use and never destroyed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class EcHelper;
class QuilFanControl;

class EcFanControlManager {
public:
    // The manager, created and initialised on the first call; null when the wait on the
    // service's named event fails.
    static EcFanControlManager* Instance();

    virtual ~EcFanControlManager();
    virtual void Initialize();

    // 0 a builder ran, 1 not one of the two product lines, 2 a known line without a known chipset.
    int MatchBoardModel(const std::wstring& product);

    void BuildFans990FX();
    void BuildFans990FXR2();
    void BuildFansP67();
    void BuildFansX79();
    void BuildFansZ77();
    void BuildFansZ87();
    void BuildFansZ97();
    void BuildFansZ170();
    void BuildGenericFans();

    const std::vector<QuilFanControl*>& Fans() const { return m_fans; }
    // Every fan takes its stored settings and its user profile's stored curve again, as its
    // builder set it up (the older EC fans also the weights and sources their constructor read):
    // for a store that could be read only after the fans were built.
    void ReloadStoredSettings();
    EcHelper* Helper() const { return m_ecHelper; }

private:
    EcFanControlManager() = default;
    EcFanControlManager(const EcFanControlManager&) = delete;
    EcFanControlManager& operator=(const EcFanControlManager&) = delete;

    std::vector<QuilFanControl*> m_fans;          // owned, never destroyed
    std::vector<std::function<void()>> m_setUps;  // each fan's set-up from the store, in list order
    EcHelper* m_ecHelper = nullptr;               // owned, never destroyed
};

// The SMBIOS base-board product, narrow and converted in the ANSI code page.
std::string ReadSmbiosBoardProduct();
std::wstring GetBoardProductName();
// Every fan's source index to the firmware's source table device.
void SyncBiosFanTable();

// For processes that are not the service (tests): the name of the event the manager's creation
// waits on, set before the first Instance(); null restores "QuilFanControlServiceEvent".
void UseServiceEventName(const wchar_t* name);

// Physical-memory callbacks of the SMBIOS reader, over the I/O library.
void LoadQuilioMemoryFunctions();
void* DmiMapMemory(uint32_t physical, uint32_t length);
void DmiUnmapMemory(void* view);
