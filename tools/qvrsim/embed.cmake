# Writes a C++ source that holds a scenario file as the simulator's embedded default.
# Usage: cmake -DINPUT=<scenario file> -DOUTPUT=<cpp file> -P embed.cmake
file(READ ${INPUT} text)
string(FIND "${text}" ")qvrsim\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "embed.cmake: ${INPUT} holds the raw-string delimiter")
endif()
file(WRITE ${OUTPUT}.tmp "// Generated from ${INPUT}; do not edit.\nnamespace qvr::sim {\nextern const char kEmbeddedDefaultScenario[];\nconst char kEmbeddedDefaultScenario[] = R\"qvrsim(${text})qvrsim\";\n}  // namespace qvr::sim\n")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
