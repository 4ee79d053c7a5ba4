# One library per engine folder; its sources are every .cpp of the folder, so a
# new unit needs no edit here.
function(tq_library name folder)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()

# One test program per folder of tests/, registered test by test with ctest.
function(tq_test_program name folder)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARGN} tq_testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    TQ_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    TQ_FIXTURES_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures"
    TQ_CLI_PATH="$<TARGET_FILE:tarvolin-cli>")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "TQ_TEST=1")
endfunction()
