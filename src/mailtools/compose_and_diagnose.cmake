# compose mail and diagnose sending (included from src/CMakeLists.txt)

# the mail rules without Qt: address rules, the files of a mail, what a diagnose send writes, the
# queue view's texts and its copy for the diagnose dialog, the checks' results of a received mail
add_library(relvo_mailrules STATIC
  ${CMAKE_CURRENT_LIST_DIR}/mail_files.cpp
  ${CMAKE_CURRENT_LIST_DIR}/diagnose_send.cpp
  ${CMAKE_CURRENT_LIST_DIR}/queue_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/queue_diagnose_copy.cpp
  ${CMAKE_CURRENT_LIST_DIR}/arrival_results.cpp
)
target_include_directories(relvo_mailrules PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(relvo_mailrules PUBLIC relvo_common)
set_target_properties(relvo_mailrules PROPERTIES AUTOMOC OFF)

# the two dialogs and the engine call sequence that builds a mail
add_library(relvo_mailtools STATIC
  ${CMAKE_CURRENT_LIST_DIR}/mail_builder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mail_widgets.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dlg_mail_compose.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dlg_mail_send.cpp
  ${CMAKE_CURRENT_LIST_DIR}/queue_scanner.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dlg_queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/queue_counter.cpp
)
target_include_directories(relvo_mailtools PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(relvo_mailtools PUBLIC relvo_mailrules relvoengine relvocontrols relvotables
  Qt6::Widgets)
