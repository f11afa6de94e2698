# Targets depend in one direction only: the component and the platform layer
# never link the simulator or the tools built on top of them.
foreach(lower kivo_platform kivocamera)
  get_target_property(deps ${lower} LINK_LIBRARIES)
  if(deps)
    foreach(forbidden kivo_sim kivocam)
      if(forbidden IN_LIST deps)
        message(FATAL_ERROR "${lower} must not link ${forbidden}")
      endif()
    endforeach()
  endif()
endforeach()
