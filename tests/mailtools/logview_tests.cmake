# tests of the log viewer (included from tests/CMakeLists.txt)
add_executable(logview_tests ${CMAKE_CURRENT_LIST_DIR}/dlg_log_tests.cpp)
target_link_libraries(logview_tests PRIVATE relvo_logview relvo_test_main GTest::gtest Qt6::Test)
relvo_add_test(logview_tests)

# picture of the log viewer for docs/screenshots (run under Xvfb; no test)
add_executable(logview_screenshot ${CMAKE_CURRENT_LIST_DIR}/logview_screenshot.cpp)
target_include_directories(logview_screenshot PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(logview_screenshot PRIVATE relvo_logview Qt6::Test)
