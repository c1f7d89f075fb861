# The extension module, built against the stable ABI so one abi3 file serves
# every CPython from 3.9 on. Included from src/CMakeLists.txt.

# The call frame (fault containment, raising) as an object library: the
# extension and the test-only fault probe link the very same code.
add_library(brevane_frame OBJECT ${CMAKE_CURRENT_SOURCE_DIR}/module/frame.cpp)
target_include_directories(brevane_frame PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(brevane_frame PUBLIC Py_LIMITED_API=0x03090000)
target_link_libraries(brevane_frame PUBLIC Python::Module)
set_target_properties(brevane_frame PROPERTIES POSITION_INDEPENDENT_CODE ON
                                               CXX_VISIBILITY_PRESET hidden
                                               VISIBILITY_INLINES_HIDDEN ON)
brevane_warnings(brevane_frame)

set(BREVANE_MODULE_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/module/binding.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/module/convert.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/module/functions.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/module/module.cpp
)

if(TARGET Python::SABIModule)
  python_add_library(brevane MODULE WITH_SOABI USE_SABI 3.9 ${BREVANE_MODULE_SOURCES})
else()
  python_add_library(brevane MODULE WITH_SOABI ${BREVANE_MODULE_SOURCES})
  set_target_properties(brevane PROPERTIES SUFFIX ".abi3${CMAKE_SHARED_MODULE_SUFFIX}")
endif()
target_link_libraries(brevane PRIVATE brevane_frame brevane_core)
target_compile_definitions(brevane PRIVATE BREVANE_VERSION="${BREVANE_VERSION}")
set_target_properties(brevane PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

# Hidden visibility does not cover every template instantiation from the
# standard headers; the version script leaves PyInit_brevane the only export.
function(brevane_export_only target symbol)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.exports)
    file(WRITE ${script} "{ global: ${symbol}; local: *; };\n")
    target_link_options(${target} PRIVATE "LINKER:--version-script=${script}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script})
  endif()
endfunction()
brevane_export_only(brevane PyInit_brevane)

brevane_warnings(brevane)
# Into the wheel; a plain build's install is the C and C++ library's.
if(DEFINED SKBUILD)
  install(TARGETS brevane LIBRARY DESTINATION .)
endif()
