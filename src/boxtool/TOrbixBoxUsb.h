// The USB box: a HID device (vendor 0x2F3A, product 0x5C71) spoken to only through 8-byte feature
// reports with report id 1. Every exchange writes one report and reads one back. All calls come
// from the window thread: the report buffers are shared process-wide and there is no lock.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "system/Handles.h"

constexpr uint16_t kBoxVendorId = 0x2F3A;
constexpr uint16_t kBoxProductId = 0x5C71;

// The box's registers (box fans 0..4: CPU1, CPU2, Chassis1, Chassis2, Chassis3).
enum BoxRegister : uint8_t {
    kBoxHostState = 0x03,         // set, 1 byte: 0xAA running, 0x00 closing
    kBoxStatus = 0x0A,            // query, 1 byte: bit 1 boss-key button
    kBoxCpuTemperature = 0x20,    // set, 16 bits, whole degrees
    kBoxBoardTemperature = 0x21,  // set, 16 bits, whole degrees
    kBoxCpuRatio = 0x30,          // set, 1 byte
    kBoxBusClock = 0x31,          // set, 16 bits, tenths of MHz
    kBoxFanSpeed0 = 0x40,         // set, 16 bits, rpm; 0x40..0x44
    kBoxFanDuty0 = 0x4A,          // set and query, 1 byte, 0..10; 0x4A..0x4E
    kBoxTime = 0x50,              // set, 3 bytes: hour, minute, second
    kBoxAudioMode = 0x60,         // query, 1 byte
    kBoxVolume = 0x62,            // set and query, 1 byte, 0..100
};

// Bytes 2..7 of a report: the register, then up to five value bytes.
constexpr int kBoxPayloadSize = 6;
constexpr int kBoxReportSize = 8;

class TOrbixBoxUsb {
public:
    TOrbixBoxUsb();
    ~TOrbixBoxUsb();
    TOrbixBoxUsb(const TOrbixBoxUsb&) = delete;
    TOrbixBoxUsb& operator=(const TOrbixBoxUsb&) = delete;

    // Finds the box once per process (its path is kept), then (re)opens that path.
    bool ConnectToBox();
    // Collects the path of every present interface of the class.
    bool EnumerateDevices(const GUID& classGuid);
    // The first listed interface with these ids; the found-path buffer, unchanged when none matched.
    const wchar_t* FindDevice(uint16_t vendorId, uint16_t productId);
    bool OpenDevice(const wchar_t* path);

    // Exchanges, up to 500 tries each, fewer when the device is gone. A query leaves the payload as
    // it was and answers false when no try succeeded.
    bool QueryReport(uint8_t payload[kBoxPayloadSize]);
    bool SetReport(uint8_t payload[kBoxPayloadSize], uint8_t& status);

    // Payload builders.
    // False when the box did not answer; the value then reads 0, which callers must not take for
    // what the box holds.
    bool QueryByte(uint8_t reg, uint8_t& value);
    bool SendWord(uint8_t reg, int16_t value);  // high byte first
    bool SendByte(uint8_t reg, uint8_t value);
    bool SendBytes(uint8_t reg, const uint8_t* bytes, int count);  // at most 5 bytes travel

    // Register operations.
    bool SetHostState(bool running);
    bool GetStatus(uint8_t reg, uint8_t& value);
    bool SetTemperature(uint8_t reg, int16_t value);
    bool SetCpuRatio(uint8_t reg, uint8_t value);
    bool SetBusClock(uint8_t reg, int16_t value);
    bool SetFanSpeed(uint8_t reg, int16_t value);
    bool SetFanDuty(uint8_t reg, uint8_t value);
    bool GetFanDuty(uint8_t reg, uint8_t& value);
    bool SetTime(uint8_t reg, uint8_t hour, uint8_t minute, uint8_t second);
    bool GetAudioMode(uint8_t& value);
    bool SetVolume(uint8_t value);
    bool GetVolume(uint8_t& value);

    const std::vector<std::wstring>& DevicePaths() const { return paths_; }

private:
    std::vector<std::wstring> paths_;
    // Empty until the first open, then the result of the last open (invalid after a failed one).
    tolo::UniqueHandle device_;
};
