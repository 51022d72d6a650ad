# Project-wide compile flags and the test helper.

add_compile_options(-Wall -Wextra -Wno-missing-field-initializers)
if(TAMLIX_WERROR)
  add_compile_options(-Werror)
endif()

# TAMLIX_SANITIZE_LINK_FLAGS: what a program must link with to load our
# libraries in this build (their sanitizer's runtime).
set(TAMLIX_SANITIZE_LINK_FLAGS "")
if(TAMLIX_SANITIZE STREQUAL "address")
  set(TAMLIX_SANITIZE_LINK_FLAGS -fsanitize=address,undefined)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(${TAMLIX_SANITIZE_LINK_FLAGS})
elseif(TAMLIX_SANITIZE STREQUAL "thread")
  set(TAMLIX_SANITIZE_LINK_FLAGS -fsanitize=thread)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(${TAMLIX_SANITIZE_LINK_FLAGS})
elseif(NOT TAMLIX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TAMLIX_SANITIZE must be empty, 'address' or 'thread'")
endif()

# Libraries hide everything that their version script does not export.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)

# tamlix_add_test(NAME name SOURCES ... [LIBS ...] [LABELS ...] [RESOURCE_LOCK ...]
#                 [ENVIRONMENT ...] [TIMEOUT s])
# One ctest entry per GoogleTest binary. Label "threaded" marks the tests that
# CI also runs under ThreadSanitizer; "gui" marks Qt tests (offscreen platform).
function(tamlix_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;RESOURCE_LOCK;ENVIRONMENT" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(env ${T_ENVIRONMENT})
  if("gui" IN_LIST T_LABELS)
    list(APPEND env QT_QPA_PLATFORM=offscreen)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(T_RESOURCE_LOCK)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  if(env)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}")
  endif()
endfunction()
