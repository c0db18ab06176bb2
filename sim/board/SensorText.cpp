// Board statements of the hardware-monitor sensors and of the audio state.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Board.h"
#include "BoardStatements.h"

namespace sim {

namespace {

SensorRecord* FindSensor(const std::string& name) {
    SensorState& s = State()->sensors;
    for (uint32_t i = 0; i < s.count; ++i)
        if (std::strncmp(s.records[i].name, name.c_str(), sizeof s.records[i].name) == 0)
            return &s.records[i];
    return nullptr;
}

}  // namespace

StatementTable SensorStatements() {
    return {
        // sensor TYPE "NAME" READING [V1 V2 V3]: one more sensor; a name of 32 characters or more
        // fills the record's name field without a terminating zero.
        {"sensor",
         [](const Args& a, std::string* err) {
             long long type, reading, v[3] = {0, 0, 0};
             if (!Num(a, 0, &type, err)) return false;
             if (a.size() < 2 || !a[1].quoted) {
                 *err = "expected the sensor's name in quotes";
                 return false;
             }
             if (!Num(a, 2, &reading, err)) return false;
             for (size_t i = 0; i < 3 && 3 + i < a.size(); ++i)
                 if (!Num(a, 3 + i, &v[i], err)) return false;
             SensorState& s = State()->sensors;
             if (s.count >= static_cast<uint32_t>(kMaxSensors)) {
                 *err = "too many sensors";
                 return false;
             }
             SensorRecord& r = s.records[s.count++];
             r = SensorRecord{};
             r.type = static_cast<int32_t>(type);
             r.reading = static_cast<int32_t>(reading);
             for (int i = 0; i < 3; ++i) r.values[i] = static_cast<uint32_t>(v[i]);
             std::memcpy(r.name, a[1].text.data(), std::min(a[1].text.size(), sizeof r.name));
             return true;
         }},
        // sensor-reading "NAME" READING: a new reading of an existing sensor.
        {"sensor-reading",
         [](const Args& a, std::string* err) {
             long long reading;
             if (a.empty() || !Num(a, 1, &reading, err)) return false;
             SensorRecord* r = FindSensor(a[0].text);
             if (!r) {
                 *err = "no sensor named " + a[0].text;
                 return false;
             }
             r->reading = static_cast<int32_t>(reading);
             return true;
         }},
        // volume V: the master volume, 0.0 to 1.0.
        {"volume",
         [](const Args& a, std::string* err) {
             char* end = nullptr;
             double v = a.empty() ? -1 : std::strtod(a[0].text.c_str(), &end);
             if (a.empty() || *end || v < 0 || v > 1) {
                 *err = "expected a volume from 0 to 1";
                 return false;
             }
             State()->audio.volume = static_cast<float>(v);
             return true;
         }},
        // mute 0|1
        {"mute",
         [](const Args& a, std::string* err) {
             long long m;
             if (!Num(a, 0, &m, err)) return false;
             State()->audio.mute = m != 0;
             return true;
         }},
    };
}

}  // namespace sim
