# Pellora on a real sway started headless (as an unprivileged user when the tests run as root).
add_test(NAME SwayShell
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/sway.sh $<TARGET_FILE:pellora>
                 ${PROJECT_BINARY_DIR}/../screenshots)
# Alone, like the other shells: a compositor's start-up takes what both cores give.
set_tests_properties(SwayShell PROPERTIES LABELS shells TIMEOUT 300 SKIP_RETURN_CODE 77
                     RUN_SERIAL TRUE)
