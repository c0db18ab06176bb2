// The board most service tests run on: an IT8721 whose firmware declares two fan headers (or
// another chip under the same firmware).
#pragma once

#include <string>

namespace test {

// The CPU fan header and the system header at 0x70, each with its mode item and the sub-item that
// records the profile. A product of neither known line: the service takes the fans the firmware
// declares.
struct TwoFanIte {
    const char* product;
    const char* systemFan = "SYSTEM FAN";  // the second header's name; its sub-item adds " PROFILE"
    int profile = 0;                       // the profile each sub-item records
    int lastProfile = 3;                   // the sub-items' last choice
    bool boardInfo = true;                 // an "mbif" package
    const char* chip = "0x8721 0x03";      // the chip statement's id and revision
};

inline std::string TwoFanIteBoard(const TwoFanIte& board) {
    const std::string profile = " value " + std::to_string(board.profile) + " desc \"";
    const std::string profileRange = " PROFILE\" 0 0 0 1 " + std::to_string(board.lastProfile) + "\n";
    std::string text = "product \"" + std::string(board.product) + "\"\nchip " + board.chip + "\n";
    if (board.boardInfo) text += "mbif 1 2 3 4 5 6 7 8\n";
    text += "item 0x04070010 value 1 desc \"CPU FAN\" 0 0 0 1 3\n";
    text += "item 0x04080011" + profile + "CPU FAN" + profileRange;
    text += "item 0x04070070 value 1 desc \"" + std::string(board.systemFan) + "\" 0 0 0 1 3\n";
    text += "item 0x04080071" + profile + board.systemFan + profileRange;
    return text;
}

}  // namespace test
