# Every test carries a label that says what it needs, so that a developer can
# run one kind alone (docs/testing.md): unit, e2e, net, vm, wine, package and
# fuzz. Each test folder calls label_tests_here() at its end (deferred, so
# that an early return() still labels what was added); the GoogleTest suites
# label their discovered tests with TEST_LABELS.
if(WIN32 AND CMAKE_CROSSCOMPILING)
  # A cross build's tests all run under Wine.
  set(TEST_LABELS unit wine)
else()
  set(TEST_LABELS unit)
endif()

function(test_label_of name out)
  if(name MATCHES "^kestrel\\.vm$")
    set(label vm)
  elseif(name MATCHES "^kestrel\\.net\\.")
    set(label net)
  elseif(name MATCHES "^(package|scripts)\\.")
    set(label package)
  elseif(name MATCHES "^fuzz_")
    set(label fuzz)
  else()
    set(label e2e)
  endif()
  set(${out} ${label} PARENT_SCOPE)
endfunction()

function(label_tests_here)
  get_property(tests DIRECTORY PROPERTY TESTS)
  foreach(test IN LISTS tests)
    test_label_of(${test} label)
    if(WIN32 AND CMAKE_CROSSCOMPILING)
      list(APPEND label wine)
    endif()
    set_tests_properties(${test} PROPERTIES LABELS "${label}")
  endforeach()
endfunction()
