// Statements of board descriptions. Each part of the board (chip, firmware, sensors, box, ...)
// contributes a table; BoardText.cpp joins them.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sim {

struct Token {
    std::string text;
    bool quoted;
};
using Args = std::vector<Token>;  // the statement's words after its name
using Handler = std::function<bool(const Args&, std::string* error)>;
using StatementTable = std::map<std::string, Handler>;

// Helpers for handlers: a number in C notation at args[i]; hex bytes from args[from] on.
bool Number(const Token& t, long long* v);
bool Num(const Args& a, size_t i, long long* v, std::string* err);
bool ParseBytes(const Args& a, size_t from, std::vector<uint8_t>* out, std::string* err);

// Statements of the parts of the board (each defined beside the part it describes).
StatementTable SioStatements();
StatementTable BoxStatements();
StatementTable AcpiTableStatements();
StatementTable SensorStatements();  // sensors, master volume and mute
StatementTable FirmwareBoxStatements();

}  // namespace sim
