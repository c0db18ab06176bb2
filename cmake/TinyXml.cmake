# TinyXML 2.6.2 from Debian's source package (scripts/fetch-tinyxml.sh), built with TIXML_USE_STL.
set(TINYXML_DIR ${CMAKE_SOURCE_DIR}/third_party/cache/tinyxml)
if(NOT EXISTS ${TINYXML_DIR}/tinyxml.cpp)
  execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/fetch-tinyxml.sh RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "TinyXML could not be fetched")
  endif()
endif()
add_library(tinyxml STATIC ${TINYXML_DIR}/tinyxml.cpp ${TINYXML_DIR}/tinyxmlparser.cpp
                           ${TINYXML_DIR}/tinyxmlerror.cpp)
target_compile_definitions(tinyxml PUBLIC TIXML_USE_STL)
target_include_directories(tinyxml SYSTEM PUBLIC ${TINYXML_DIR})
target_compile_options(tinyxml PRIVATE -w)
