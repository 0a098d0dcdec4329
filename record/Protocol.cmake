# The service record's protocol (HTML, and PDF through Qt's text document): needs Qt Gui, and a
# QGuiApplication (the offscreen platform will do) in the program that writes a PDF.
add_library(rq7protocol STATIC ${CMAKE_CURRENT_LIST_DIR}/Protocol.cpp ${CMAKE_CURRENT_LIST_DIR}/ProtocolRows.cpp
                               ${CMAKE_CURRENT_LIST_DIR}/Protocol.h ${CMAKE_CURRENT_LIST_DIR}/ProtocolRows.h)
target_include_directories(rq7protocol PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(rq7protocol PUBLIC rq7coef Qt6::Gui)
