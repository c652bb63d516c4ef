# the log viewer (included from src/CMakeLists.txt)
add_library(relvo_logview STATIC ${CMAKE_CURRENT_LIST_DIR}/dlg_log.cpp)
target_include_directories(relvo_logview PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(relvo_logview PUBLIC relvo_common relvocontrols Qt6::Widgets Qt6::Gui)
