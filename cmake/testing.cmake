# Test helpers shared by every area's tests.
#
#   sk_native_test(NAME n SOURCES a.cpp ... [LIBS l ...])
#       a GoogleTest program of portable code, built with -m32 and sanitizers;
#       linked with the recording host log (tests/support/fake_log.cpp).
#
#   sk_wine_test(NAME n SOURCES a.cpp ... [LIBS l ...] [PAIRS k] [TIMEOUT s] [LABELS x ...])
#       a Windows GoogleTest program run under Wine in the project's prefix.
#       With PAIRS k the test gets k socat pty pairs mapped to COM ports; the
#       program finds their numbers in SK_COM_BASE (pair i: COM(base+2i) for the
#       driver's side, COM(base+2i+1) for the far end). Every such test has
#       the label wine, and the LABELS given (proof: the long runs under
#       faults and load, which the test VM leaves out).

# Wine prefixes: BASE-win32 for the product's programs, BASE-win64 for the
# twin's (tests/wine/run.sh picks by the program).
set(SK_WINEPREFIX_BASE "${PROJECT_SOURCE_DIR}/build/wineprefix" CACHE PATH "Wine prefixes the Windows tests run in, without the -win32/-win64 ending")
set(SK_WINEPREFIX "${SK_WINEPREFIX_BASE}-win${SK_WIDTH}")
set(SK_COM_FIRST 20 CACHE STRING "First COM number the Windows tests of this build tree use (give parallel build trees different ranges)")
set_property(GLOBAL PROPERTY SK_NEXT_COM ${SK_COM_FIRST})

function(sk_native_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  sk_target_defaults(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} sk_fake_log GTest::gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_test(NAME native.${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(native.${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS native)
endfunction()

function(sk_wine_test)
  cmake_parse_arguments(T "" "NAME;PAIRS;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_PAIRS)
    set(T_PAIRS 0)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  sk_target_defaults(${T_NAME})
  target_link_options(${T_NAME} PRIVATE -static)
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} sk_wine_support GTest::gtest_main)
  add_dependencies(${T_NAME} sk5820 kestra)
  get_property(base GLOBAL PROPERTY SK_NEXT_COM)
  math(EXPR next "${base} + 2 * ${T_PAIRS} + 2")
  set_property(GLOBAL PROPERTY SK_NEXT_COM ${next})
  add_test(NAME wine.${T_NAME}
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/wine/run.sh --prefix ${SK_WINEPREFIX_BASE}
                   --pairs ${T_PAIRS} --com-base ${base} -- $<TARGET_FILE:${T_NAME}>)
  set_tests_properties(wine.${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "wine;${T_LABELS}")
endfunction()
