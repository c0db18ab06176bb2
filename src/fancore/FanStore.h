// The service's per-fan settings in "FanStore.xml" beside the executable: one TinyXML document in
// memory, the whole file rewritten by every writer. Safe to use from several threads: every
// operation holds the store's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FanPoint.h"

class TiXmlDocument;
class TiXmlElement;
class TiXmlNode;

// A handle over one node of the store's document; the null handle has none. Names are stored in
// lower case; an empty or null key means "no key".
class FanStoreNode {
public:
    FanStoreNode() = default;
    explicit FanStoreNode(TiXmlNode* node) : m_node(node) {}
    bool IsNull() const { return m_node == nullptr; }
    TiXmlNode* Node() const { return m_node; }

    FanStoreNode Child(const char* name, const char* key = nullptr) const;
    FanStoreNode Find(const char* name, const char* key = nullptr) const;
    void Remove(const char* name, const char* key = nullptr) const;
    bool GetInt(const char* name, int* out) const;
    bool GetString(const char* name, std::string* out) const;
    bool SetInt(const char* name, int value) const;
    bool SetString(const char* name, const std::string& text) const;
    bool GetOwnInt(int* out) const;
    bool SetOwnInt(int value) const;

private:
    TiXmlNode* m_node = nullptr;
};

int FanStoreKeyFromFanType(int fanType);

class FanStore {
public:
    static FanStore& Instance();

    int GetIsChangeFan();
    int GetGpio34();
    int GetInverse();
    bool GetEcFanOff(int fanType);
    bool GetRpmMode(int fanType);
    bool GetEcEnable(int fanType);
    int GetFanSourceIndex(int fanType);
    int GetManualMode(int fanType);
    // The RPM duty and tolerance, step times, step unit and T1 delay read 0, the temperature
    // tolerance -1 (the chip keeps the one it has), when the fan has none stored or one that no
    // client could set (FanLimits.h).
    int GetRpmDuty(int fanType);
    int GetTolerance(int fanType);
    int GetRpm(int fanType);
    int GetStepDownTime(int fanType);
    int GetStepUnit(int fanType);
    int GetStepUpTime(int fanType);
    int GetT1DelayTime(int fanType);
    int GetTempTolerance(int fanType);
    bool GetFanName(int fanType, std::string* name);
    // Fills the caller's entries (its size says how many) from the stored points; returns how many
    // it filled (entries without a stored point stay as they were).
    size_t ReadCurve(int fanType, FanPoints* points, bool second);
    size_t ReadCurveByName(int fanType, FanPoints* points, const char* name);
    std::vector<int> ReadMultiSource(int fanType);
    void ReadWeights(int fanType, std::vector<int>* weights);
    bool HasCurve(int fanType);

    bool SetIsChangeFan(uint8_t value);
    bool SetGpio34(uint8_t value);
    bool SetEcFanOff(int fanType, uint8_t value);
    bool SetEcEnable(int fanType, int value);
    bool SetFanSourceIndex(int fanType, int value);
    bool SetManualMode(int fanType, int value);
    bool SetRpmMode(int fanType, int value);
    bool SetRpmDuty(int fanType, int value);
    bool SetTolerance(int fanType, int value);
    bool SetRpm(int fanType, int value);
    bool SetStepDownTime(int fanType, int value);
    bool SetStepUnit(int fanType, int value);
    bool SetStepUpTime(int fanType, int value);
    bool SetT1DelayTime(int fanType, int value);
    bool SetTempTolerance(int fanType, int value);
    bool SetFanName(int fanType, const std::string& name);
    // The curve's points, written over the stored ones; stored points past its end are removed.
    bool WriteCurve(int fanType, const FanPoints& points, bool second);
    bool WriteCurveByName(int fanType, const FanPoints& points, const char* name);
    bool WriteMultiSource(int fanType, const std::vector<int>& values);
    bool WriteWeights(int fanType, const std::vector<int>& weights);

    const std::string& Path() const { return m_path; }
    // Whether the store holds the file's settings: false while the file is there but cannot be
    // read (it is tried again first), or is not a store it can use.
    bool IsUsable();
    // True once after a file that was held has been read: the settings taken from the store
    // before then are not the user's and must be read again.
    bool TakeLateRead();

private:
    FanStore();
    // Reading waits up to `tries` times for a file another program holds.
    bool Open(const std::string& path, bool create, int tries);
    bool Save();
    // A change that could not be made for want of a document: counted as a save that failed.
    static bool NotStored();
    FanStoreNode Root();            // the null handle without a document
    FanStoreNode Fan(int fanType);  // created in memory when missing; null without a document
    // `missing` when the fan has no such value, or one that `accepts` (when given) refuses.
    int GetFanInt(int fanType, const char* name, int missing = 0, bool (*accepts)(int64_t) = nullptr);
    bool SetFanInt(int fanType, const char* name, int value);
    bool SetTopInt(const char* name, int value);
    int GetTopInt(const char* name);

    std::recursive_mutex m_lock;
    std::unique_ptr<TiXmlDocument> m_document;
    TiXmlElement* m_root = nullptr;
    bool m_held = false;      // the file was there but could not be read
    bool m_readLate = false;  // read after a hold, not yet taken
    std::string m_path;
};

// The number of source sensors the firmware lists (BIOS group 6, items of type 3).
int CountSourceSensorItems();
// The firmware's name of the fan header whose BIOS mode item is `itemId` (BIOS group 4).
std::string GetBiosFanName(uint32_t itemId);

// While one lives, the calling thread's changes to the store stay in memory, are not written and
// count as no failed save: for work that only takes the store's settings (what it changes is
// written with the next save).
class FanStoreNoSaves {
public:
    FanStoreNoSaves();
    ~FanStoreNoSaves();
    FanStoreNoSaves(const FanStoreNoSaves&) = delete;
    FanStoreNoSaves& operator=(const FanStoreNoSaves&) = delete;
};

// How many of the calling thread's saves did not reach the file (a file that cannot be written,
// or no document to write); never decreases.
unsigned FanStoreFailedSaves();

// For processes that are not the service (tests): the store's file, set before the first
// Instance(), and the replace that puts a saved temporary file in place of the store's file
// (MoveFileEx with replace and write-through; a failing one leaves the old file as it was).
void UseFanStorePath(const std::string& path);
using FanStoreReplaceFn = bool (*)(const char* from, const char* to);
extern FanStoreReplaceFn g_fanStoreReplace;
