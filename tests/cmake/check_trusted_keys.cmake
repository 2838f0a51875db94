# Runs the configure-time check of -DTOLVEX_TRUSTED_KEYS on KEYS (script mode;
# the keys are separated by "," here, since ";" does not survive a test command).
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/TrustedKeys.cmake)
string(REPLACE "," ";" keys "${KEYS}")
tolvex_parse_trusted_keys("${keys}" first second)
message(STATUS "first=[${first}] second=[${second}]")
