# The extension module, built against the stable ABI so one abi3 file serves
# every CPython from 3.9 on. Included from src/CMakeLists.txt.
set(BREVANE_MODULE_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/module/module.cpp
)

if(TARGET Python::SABIModule)
  python_add_library(brevane MODULE WITH_SOABI USE_SABI 3.9 ${BREVANE_MODULE_SOURCES})
else()
  python_add_library(brevane MODULE WITH_SOABI ${BREVANE_MODULE_SOURCES})
  target_compile_definitions(brevane PRIVATE Py_LIMITED_API=0x03090000)
  set_target_properties(brevane PROPERTIES SUFFIX ".abi3${CMAKE_SHARED_MODULE_SUFFIX}")
endif()
target_link_libraries(brevane PRIVATE brevane_core)
set_target_properties(brevane PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
brevane_warnings(brevane)
install(TARGETS brevane LIBRARY DESTINATION .)
