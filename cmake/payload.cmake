# The payload embedded as resource 5428/137. The product team names its cabinet with
# -DWEB_INSTALLER_PAYLOAD=/path/to.cab; without one, the build makes a small default cabinet.
set(WEB_INSTALLER_DEFAULT_PAYLOAD ${CMAKE_BINARY_DIR}/payload/default.cab)
set(WEB_INSTALLER_PAYLOAD ${WEB_INSTALLER_DEFAULT_PAYLOAD} CACHE FILEPATH "The cabinet embedded in the launcher")

if(WEB_INSTALLER_PAYLOAD STREQUAL WEB_INSTALLER_DEFAULT_PAYLOAD)
  add_custom_command(OUTPUT ${WEB_INSTALLER_DEFAULT_PAYLOAD}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/payload/default
    COMMAND ${CMAKE_COMMAND} -E echo "placeholder installation set" > ${CMAKE_BINARY_DIR}/payload/default/readme.txt
    COMMAND touch -d 2020-01-01T00:00:00Z ${CMAKE_BINARY_DIR}/payload/default/readme.txt
    COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR}/payload/default gcab -c -n -z ${WEB_INSTALLER_DEFAULT_PAYLOAD} readme.txt
    COMMENT "Making the default payload cabinet")
endif()
