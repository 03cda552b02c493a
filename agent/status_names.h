/*
 * status_names.h
 *
 * Every NTSTATUS that winsim declares, by name: the table is generated at build time from
 * winsim's ntstatus.h, so each status the driver or winsim can return has its name here.
 * Where two names share a value (STATUS_WAIT_0 and STATUS_SUCCESS), a value's name is the
 * first one declared.
 */
#pragma once

#include <ntdef.h>

#include <cstddef>
#include <optional>
#include <string_view>

namespace qvr::agent {

struct KnownStatus {
    const char *name;   // "STATUS_SUCCESS"
    NTSTATUS value;
};

// The whole table, in the order of the header.
const KnownStatus *KnownStatuses(std::size_t *count);

// The value's name, or null when it has none.
const char *StatusName(NTSTATUS status);

// The value of a name (exact spelling), or nothing.
std::optional<NTSTATUS> StatusByName(std::string_view name);

}  // namespace qvr::agent
