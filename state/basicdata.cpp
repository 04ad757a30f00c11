#include "basicdata.h"

#include <cstring>

bool fieldByName(const char *name, Field *out)
{
    if (!name)
        return false;
    for (const FieldInfo &f : kFields) {
        if (std::strcmp(f.name, name) == 0) {
            if (out)
                *out = f.field;
            return true;
        }
    }
    return false;
}

const GroupBytes *groupBytes(int group)
{
    for (const GroupBytes &g : kGroups)
        if (g.group == group)
            return &g;
    return nullptr;
}

const GroupBytes *groupForCommand(std::uint8_t command)
{
    for (const GroupBytes &g : kGroups)
        if (g.command == command)
            return &g;
    return nullptr;
}

bool typeCarriesByte(int deviceType, int b)
{
    const FieldInfo *owner = nullptr;
    for (const FieldInfo &fi : kFields)
        if (fi.byte == b)
            owner = &fi;
    const GroupBytes *g = owner ? groupBytes(owner->group) : nullptr;
    if (!g)
        return false;
    for (std::int8_t x : g->bytes)
        if (x == b)
            return true;
    for (std::int8_t x : g->type2Bytes)
        if (x == b)
            return deviceType == 2;
    return false;
}

int ST_BasicData::get(Field f) const
{
    const FieldInfo &fi = fieldInfo(f);
    const unsigned mask = (1u << fi.width) - 1u;
    return static_cast<int>((bytes[fi.byte] >> fi.shift) & mask);
}

void ST_BasicData::set(Field f, int value)
{
    const FieldInfo &fi = fieldInfo(f);
    const unsigned mask = ((1u << fi.width) - 1u) << fi.shift;
    const unsigned v = (static_cast<unsigned>(value) << fi.shift) & mask;
    bytes[fi.byte] = static_cast<std::uint8_t>((bytes[fi.byte] & ~mask) | v);
}
