# tests of compose mail and diagnose sending (included from tests/CMakeLists.txt)

# the address rules, the files of a mail and what a diagnose send writes: no window
add_executable(mailtools_rules_tests
  ${CMAKE_CURRENT_LIST_DIR}/mail_files_tests.cpp
)
target_include_directories(mailtools_rules_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(mailtools_rules_tests PRIVATE relvo_mailrules GTest::gtest GTest::gtest_main)
set_target_properties(mailtools_rules_tests PROPERTIES AUTOMOC OFF)
relvo_add_test(mailtools_rules_tests)

# the compose and diagnose dialogs against the recording fake engine, and the main window's button
add_executable(mailtools_dialog_tests
  ${CMAKE_CURRENT_LIST_DIR}/dlg_mail_compose_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dlg_mail_send_tests.cpp
)
target_include_directories(mailtools_dialog_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(mailtools_dialog_tests PRIVATE relvo_mailtools relvoapp
  relvo_fake_engine_control relvo_test_main Qt6::Test)
add_dependencies(mailtools_dialog_tests relvo_fake_engine)
relvo_add_test(mailtools_dialog_tests)

# Against the real engine library, dnsmasq and an aiosmtpd mail exchanger: both dialogs
# (mail_engine_tests), and the queue view with the real SEND and receiving services, retrying and
# deleting live mail (queue_engine_tests).
foreach(name mail_engine queue_engine)
  set(target mailtools_${name}_tests)
  add_executable(${target} ${CMAKE_CURRENT_LIST_DIR}/${name}_tests.cpp)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests
    ${PROJECT_SOURCE_DIR}/mailservice ${PROJECT_SOURCE_DIR}/include)
  target_compile_definitions(${target} PRIVATE
    RELVO_ENGINE_LIBRARY="$<TARGET_FILE:relvomailservice>"
    SEND_PEER_SCRIPT="${PROJECT_SOURCE_DIR}/tests/mailservice/send/send_peer.py")
  target_link_libraries(${target} PRIVATE relvo_mailtools relvo_test_main Qt6::Test)
  add_dependencies(${target} relvomailservice)
  relvo_add_test(${target})
endforeach()

# pictures of both dialogs for docs/screenshots (run under Xvfb; no test)
add_executable(mailtools_screenshots ${CMAKE_CURRENT_LIST_DIR}/mail_screenshots.cpp)
target_include_directories(mailtools_screenshots PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(mailtools_screenshots PRIVATE relvo_mailtools relvo_fake_engine_control
  Qt6::Test)
add_dependencies(mailtools_screenshots relvo_fake_engine)

# the queue view against real files: rows, rescans, operator changes and the waiting count
add_executable(mailtools_queue_tests ${CMAKE_CURRENT_LIST_DIR}/queue_view_tests.cpp)
target_include_directories(mailtools_queue_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(mailtools_queue_tests PRIVATE relvo_mailtools relvo_test_main Qt6::Test)
relvo_add_test(mailtools_queue_tests)
