# macOS packaging: the launch agent's property list template, the install and
# uninstall scripts, the installer package's scripts, the MDM's configuration
# profile, and the executable's own Info.plist. All are generated on every
# platform, so that the tests can check them; the Info.plist is embedded in
# the executable only on Apple builds.

set(TAVRINE_LAUNCHD_LABEL "com.tavrine.agent" CACHE STRING
    "launchd label of the agent's job, also its bundle identifier (reverse DNS)")
if(NOT TAVRINE_LAUNCHD_LABEL MATCHES "^[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)+$")
  message(FATAL_ERROR "TAVRINE_LAUNCHD_LABEL must be a reverse-DNS name such as com.example.agent: "
                      "'${TAVRINE_LAUNCHD_LABEL}'")
endif()

set(TAVRINE_TEAM_ID "" CACHE STRING
    "Apple developer team identifier that signs the release (10 characters), or empty")
if(NOT TAVRINE_TEAM_ID STREQUAL "" AND NOT TAVRINE_TEAM_ID MATCHES "^[A-Z0-9]+$")
  message(FATAL_ERROR "TAVRINE_TEAM_ID must be a team identifier such as ABCDE12345: '${TAVRINE_TEAM_ID}'")
endif()

set(TAVRINE_PACKAGING_SOURCE_DIR ${CMAKE_SOURCE_DIR}/packaging/macos)
set(TAVRINE_PACKAGING_DIR ${CMAKE_BINARY_DIR}/packaging/macos)
configure_file(${TAVRINE_PACKAGING_SOURCE_DIR}/launch_agent.plist.in
               ${TAVRINE_PACKAGING_DIR}/launch_agent.plist.template @ONLY)
configure_file(${TAVRINE_PACKAGING_SOURCE_DIR}/common.sh.in ${TAVRINE_PACKAGING_DIR}/common.sh @ONLY)
foreach(script install uninstall preinstall postinstall)
  configure_file(${TAVRINE_PACKAGING_SOURCE_DIR}/${script}.in ${TAVRINE_PACKAGING_DIR}/${script}
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
configure_file(${TAVRINE_PACKAGING_SOURCE_DIR}/package.conf.in ${TAVRINE_PACKAGING_DIR}/package.conf
               @ONLY)

# The profile's payloads need identifiers that stay the same from build to
# build (an MDM replaces a profile by them), so they are derived from the label.
set(profile_namespace 6ba7b810-9dad-11d1-80b4-00c04fd430c8)
string(UUID TAVRINE_PROFILE_UUID NAMESPACE ${profile_namespace}
       NAME "${TAVRINE_LAUNCHD_LABEL}.managed" TYPE SHA1 UPPER)
string(UUID TAVRINE_PROFILE_LOGIN_ITEMS_UUID NAMESPACE ${profile_namespace}
       NAME "${TAVRINE_LAUNCHD_LABEL}.managed.login-items" TYPE SHA1 UPPER)
string(UUID TAVRINE_PROFILE_NOTIFICATIONS_UUID NAMESPACE ${profile_namespace}
       NAME "${TAVRINE_LAUNCHD_LABEL}.managed.notifications" TYPE SHA1 UPPER)
set(TAVRINE_PROFILE_TEAM_RULE "")
if(TAVRINE_TEAM_ID)
  string(CONCAT TAVRINE_PROFILE_TEAM_RULE "\n\t\t\t\t<dict>"
         "\n\t\t\t\t\t<key>RuleType</key>\n\t\t\t\t\t<string>TeamIdentifier</string>"
         "\n\t\t\t\t\t<key>RuleValue</key>\n\t\t\t\t\t<string>${TAVRINE_TEAM_ID}</string>"
         "\n\t\t\t\t\t<key>Comment</key>\n\t\t\t\t\t<string>Everything signed by the Tavrine release team</string>"
         "\n\t\t\t\t</dict>")
endif()
configure_file(${TAVRINE_PACKAGING_SOURCE_DIR}/tavrine-managed.mobileconfig.in
               ${TAVRINE_PACKAGING_DIR}/tavrine-managed.mobileconfig @ONLY)

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
