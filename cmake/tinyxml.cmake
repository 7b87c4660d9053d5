# TinyXML (the TinyXML-1 interface, with its STL support), as target `tinyxml`.
# Native build: the distribution's libtinyxml-dev. Windows build: the distribution's source
# package, fetched into the build tree (scripts/fetch_tinyxml.sh) and compiled here with MinGW as a
# static library.
if(TARGET tinyxml)
  return()
endif()
if(WIN32)
  set(ORBU_TINYXML_SOURCE_DIR ${CMAKE_BINARY_DIR}/tinyxml-src CACHE PATH "TinyXML sources for the Windows build")
  if(NOT EXISTS ${ORBU_TINYXML_SOURCE_DIR}/tinyxml.cpp)
    execute_process(COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/fetch_tinyxml.sh ${ORBU_TINYXML_SOURCE_DIR}
                    RESULT_VARIABLE fetch_result)
    if(NOT fetch_result EQUAL 0)
      message(FATAL_ERROR "TinyXML sources could not be fetched into ${ORBU_TINYXML_SOURCE_DIR}")
    endif()
  endif()
  add_library(tinyxml STATIC ${ORBU_TINYXML_SOURCE_DIR}/tinyxml.cpp ${ORBU_TINYXML_SOURCE_DIR}/tinyxmlerror.cpp
                             ${ORBU_TINYXML_SOURCE_DIR}/tinyxmlparser.cpp ${ORBU_TINYXML_SOURCE_DIR}/tinystr.cpp)
  target_compile_definitions(tinyxml PUBLIC TIXML_USE_STL)
  target_compile_options(tinyxml PRIVATE -w)
  target_include_directories(tinyxml SYSTEM PUBLIC ${ORBU_TINYXML_SOURCE_DIR})
else()
  find_path(TINYXML_INCLUDE_DIR tinyxml.h REQUIRED)
  find_library(TINYXML_LIBRARY tinyxml REQUIRED)
  add_library(tinyxml UNKNOWN IMPORTED)
  set_target_properties(tinyxml PROPERTIES IMPORTED_LOCATION ${TINYXML_LIBRARY}
                        INTERFACE_INCLUDE_DIRECTORIES ${TINYXML_INCLUDE_DIR}
                        INTERFACE_COMPILE_DEFINITIONS TIXML_USE_STL)
endif()
