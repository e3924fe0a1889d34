# macOS packaging: the launch agent's property list template, the install and
# uninstall scripts, and the executable's own Info.plist. All are generated on
# every platform, so that the tests can check them; the Info.plist is
# embedded in the executable only on Apple builds.

set(TAVRINE_LAUNCHD_LABEL "com.tavrine.agent" CACHE STRING
    "launchd label of the agent's job, also its bundle identifier (reverse DNS)")
if(NOT TAVRINE_LAUNCHD_LABEL MATCHES "^[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)+$")
  message(FATAL_ERROR "TAVRINE_LAUNCHD_LABEL must be a reverse-DNS name such as com.example.agent: "
                      "'${TAVRINE_LAUNCHD_LABEL}'")
endif()

set(TAVRINE_PACKAGING_SOURCE_DIR ${CMAKE_SOURCE_DIR}/packaging/macos)
set(TAVRINE_PACKAGING_DIR ${CMAKE_BINARY_DIR}/packaging/macos)
configure_file(${TAVRINE_PACKAGING_SOURCE_DIR}/launch_agent.plist.in
               ${TAVRINE_PACKAGING_DIR}/launch_agent.plist.template @ONLY)
configure_file(${TAVRINE_PACKAGING_SOURCE_DIR}/common.sh.in ${TAVRINE_PACKAGING_DIR}/common.sh @ONLY)
foreach(script install uninstall)
  configure_file(${TAVRINE_PACKAGING_SOURCE_DIR}/${script}.in ${TAVRINE_PACKAGING_DIR}/${script}
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

# Without a bundle identifier AppKit gives the process no user-notification
# centre, so the bare executable carries one in __TEXT,__info_plist.
set(TAVRINE_INFO_PLIST ${CMAKE_BINARY_DIR}/generated/Info.plist)
configure_file(${TAVRINE_PACKAGING_SOURCE_DIR}/Info.plist.in ${TAVRINE_INFO_PLIST} @ONLY)
if(APPLE)
  target_link_options(tavrine PRIVATE "LINKER:-sectcreate,__TEXT,__info_plist,${TAVRINE_INFO_PLIST}")
  set_property(TARGET tavrine APPEND PROPERTY LINK_DEPENDS ${TAVRINE_INFO_PLIST})
endif()

# The install tree from which a package is built: bin/tavrine and
# share/tavrine/ (the template and the scripts).
install(TARGETS tavrine RUNTIME DESTINATION bin)
install(PROGRAMS ${TAVRINE_PACKAGING_DIR}/install ${TAVRINE_PACKAGING_DIR}/uninstall
        DESTINATION share/tavrine)
install(FILES ${TAVRINE_PACKAGING_DIR}/common.sh ${TAVRINE_PACKAGING_DIR}/launch_agent.plist.template
        DESTINATION share/tavrine)
