/*
 * status_names.cpp
 *
 * Lookups in the generated table of status names.
 */
#include "status_names.h"

namespace qvr::agent {

namespace {

const KnownStatus kStatuses[] = {
#include "status_names.inc"
};

}  // namespace

const KnownStatus *KnownStatuses(std::size_t *count)
{
    *count = sizeof(kStatuses) / sizeof(kStatuses[0]);
    return kStatuses;
}

const char *StatusName(NTSTATUS status)
{
    for (const KnownStatus &known : kStatuses) {
        if (known.value == status) {
            return known.name;
        }
    }
    return nullptr;
}

std::optional<NTSTATUS> StatusByName(std::string_view name)
{
    for (const KnownStatus &known : kStatuses) {
        if (name == known.name) {
            return known.value;
        }
    }
    return std::nullopt;
}

}  // namespace qvr::agent
