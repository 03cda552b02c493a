# Writes the table of status names (one `{"STATUS_X", (NTSTATUS)0x...},` line per
# #define STATUS_X of the header) for status_names.cpp.
# Usage: cmake -DHEADER=<ntstatus.h> -DOUTPUT=<status_names.inc> -P status_names.cmake
file(STRINGS ${HEADER} lines REGEX "^#define[ \t]+STATUS_[A-Z0-9_]+[ \t]+\\(\\(NTSTATUS\\)0x[0-9A-Fa-f]+L?\\)")
set(table "// Generated from ${HEADER}; do not edit.\n")
set(count 0)
foreach(line ${lines})
  string(REGEX REPLACE "^#define[ \t]+(STATUS_[A-Z0-9_]+)[ \t]+\\(\\(NTSTATUS\\)(0x[0-9A-Fa-f]+)L?\\).*" "{\"\\1\", static_cast<NTSTATUS>(\\2u)}," entry "${line}")
  string(APPEND table "${entry}\n")
  math(EXPR count "${count} + 1")
endforeach()
if(count LESS 10)
  message(FATAL_ERROR "status_names.cmake: only ${count} statuses found in ${HEADER}")
endif()
file(WRITE ${OUTPUT}.tmp "${table}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
