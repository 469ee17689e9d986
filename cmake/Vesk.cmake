# Helpers shared by the source and test folders.
#
# Every source folder is one static library, vesk_<folder>, built from the
# .cpp files it holds. A folder can add link dependencies or generated files
# in *.cmake fragments beside its sources; they are included after the
# library exists, so each area keeps its own build settings in its own files.

function(vesk_folder_library name)
  cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  # Program entries (main.cpp, desktop_main.cpp) belong to executables.
  list(FILTER sources EXCLUDE REGEX "/[a-z_]*main\\.cpp$")
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  if(sources)
    add_library(vesk_${name} STATIC ${sources} ${headers})
    target_include_directories(vesk_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(vesk_${name} PUBLIC ${ARG_DEPENDS})
  else()
    add_library(vesk_${name} INTERFACE)
    target_include_directories(vesk_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(vesk_${name} INTERFACE ${ARG_DEPENDS})
  endif()
  set(VESK_LIB vesk_${name} PARENT_SCOPE)
endfunction()

macro(vesk_include_fragments)
  file(GLOB _vesk_fragments CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cmake)
  foreach(_fragment IN LISTS _vesk_fragments)
    include(${_fragment})
  endforeach()
endmacro()

# One GoogleTest binary per test folder, test_<folder>, linking the folder's
# library and the shared test main (which starts Qt on the offscreen
# platform by itself). Each test case becomes one CTest test. PROPERTIES adds
# CTest properties (for example FIXTURES_REQUIRED for a server the tests need)
# to every test case. Settings the tests need from the build (where a fixture
# writes its state) reach them as compile definitions: a list-valued property
# such as ENVIRONMENT does not survive test discovery.
function(vesk_folder_tests name)
  cmake_parse_arguments(ARG "" "" "DEPENDS;PROPERTIES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(test_${name} ${sources})
  target_link_libraries(test_${name} PRIVATE vesk_testmain ${ARG_DEPENDS})
  target_compile_definitions(test_${name} PRIVATE
    VESK_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    VESK_BINARY_DIR="${PROJECT_BINARY_DIR}"
    VESK_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
  gtest_discover_tests(test_${name}
    TEST_PREFIX "${name}."
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300 ${ARG_PROPERTIES})
  set(VESK_TEST test_${name} PARENT_SCOPE)
endfunction()

# The folder where the fixture servers of test area `name` keep their state:
# under the temporary folder (short socket paths; reachable by the servers'
# unprivileged users), named after this build folder so that two builds never
# share one.
function(vesk_fixture_dir var name)
  string(MD5 hash "${CMAKE_BINARY_DIR}")
  string(SUBSTRING "${hash}" 0 10 hash)
  if(DEFINED ENV{TMPDIR} AND IS_DIRECTORY "$ENV{TMPDIR}")
    set(${var} "$ENV{TMPDIR}/vesk-${name}-${hash}" PARENT_SCOPE)
  else()
    set(${var} "/tmp/vesk-${name}-${hash}" PARENT_SCOPE)
  endif()
endfunction()

# A server started by `script start dir [args...]` before the tests that
# require `fixture`, and stopped by `script stop dir` after them; the two
# steps are CTest tests named <area>.fixture.<script>_start / _stop.
function(vesk_fixture area fixture script dir)
  get_filename_component(base ${script} NAME_WE)
  add_test(NAME ${area}.fixture.${base}_start COMMAND ${script} start ${dir} ${ARGN})
  set_tests_properties(${area}.fixture.${base}_start PROPERTIES FIXTURES_SETUP ${fixture} TIMEOUT 120)
  add_test(NAME ${area}.fixture.${base}_stop COMMAND ${script} stop ${dir})
  set_tests_properties(${area}.fixture.${base}_stop PROPERTIES FIXTURES_CLEANUP ${fixture} TIMEOUT 60)
endfunction()
