# Writes a C++ source that holds a scenario file as a character array.
# Usage: cmake -DINPUT=<scenario file> -DOUTPUT=<cpp file> [-DSYMBOL=<name>] -P embed.cmake
# SYMBOL defaults to the simulator's embedded default, kEmbeddedDefaultScenario.
if(NOT DEFINED SYMBOL)
  set(SYMBOL kEmbeddedDefaultScenario)
endif()
file(READ ${INPUT} text)
string(FIND "${text}" ")qvrsim\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "embed.cmake: ${INPUT} holds the raw-string delimiter")
endif()
file(WRITE ${OUTPUT}.tmp "// Generated from ${INPUT}; do not edit.\nnamespace qvr::sim {\nextern const char ${SYMBOL}[];\nconst char ${SYMBOL}[] = R\"qvrsim(${text})qvrsim\";\n}  // namespace qvr::sim\n")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
