# Tests of the 32-bit build, which can run the driver image nimb.sys: the
# loader, the boundary checks and the instruction trap, and the image run
# side by side with the built-in driver. Included from the top-level
# CMakeLists.txt; NIMB_SYS_IMAGE names the image (`make sys` builds it).
set(NIMB_SYS_IMAGE ${CMAKE_SOURCE_DIR}/build-sys/nimb.sys CACHE FILEPATH
    "the driver image the 32-bit tests load")

# The machine's GoogleTest libraries are 64-bit: build it from its sources.
if(EXISTS /usr/src/googletest/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

file(GLOB IMAGE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/image/*_test.cpp)
foreach(src ${IMAGE_TEST_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE NIMB_SYS_IMAGE="${NIMB_SYS_IMAGE}")
  target_link_libraries(${name} PRIVATE nimb_seam nimb_soak nimb_bench nimb_machine nimb_imagehost
                        GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
endforeach()

# The image and the built-in driver on the same scenarios, and a soak of
# the image, through the tool as a user runs it.
add_test(NAME image_differential
         COMMAND ${CMAKE_SOURCE_DIR}/tests/image/differential_test.sh $<TARGET_FILE:nimbsim> ${NIMB_SYS_IMAGE})
