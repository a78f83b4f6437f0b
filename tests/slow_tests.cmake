# Read by ctest after the discovered tests: the rows that must wait on a real
# clock, a real server's or orv's own, carry the label slow, so that
# `ctest -LE slow` leaves them out. What they show on orv's side also runs
# under a fake clock among the others.
foreach(name IN LISTS orv_e2e_tests_TESTS)
  if(name MATCHES "^(servers/real_server\\.(keep_alive|long_line)|paced_paste\\.|clocks/closing_wait_test\\..*/real( |$))")
    set_tests_properties("${name}" PROPERTIES LABELS slow)
  endif()
endforeach()
