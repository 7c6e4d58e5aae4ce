# The payload embedded as resource 5428/137. The product team names its cabinet with
# -DWEB_INSTALLER_PAYLOAD=/path/to.cab; without one, the build makes the small sample payload
# around the sample installer. Either way the build checks the payload before embedding it.
include(ExternalProject)

# The application icon, drawn by the project's own tool.
set(WEB_INSTALLER_ICON ${CMAKE_BINARY_DIR}/resources/Web_Installer.ico)
add_custom_command(OUTPUT ${WEB_INSTALLER_ICON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/resources
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/make_icon.py ${WEB_INSTALLER_ICON}
  DEPENDS ${PROJECT_SOURCE_DIR}/tools/make_icon.py
  COMMENT "Drawing the application icon")
add_custom_target(web_installer_icon DEPENDS ${WEB_INSTALLER_ICON})

set(WEB_INSTALLER_SAMPLE_DIR ${CMAKE_BINARY_DIR}/payload)
set(WEB_INSTALLER_DEFAULT_PAYLOAD ${WEB_INSTALLER_SAMPLE_DIR}/small.cab)
set(WEB_INSTALLER_PAYLOAD ${WEB_INSTALLER_DEFAULT_PAYLOAD} CACHE FILEPATH "The cabinet embedded in the launcher")

# The sample payload's entry program, built for this tree's platform.
add_executable(sample_installer WIN32 ${PROJECT_SOURCE_DIR}/tests/fixtures/sample_installer.cpp)
target_link_libraries(sample_installer PRIVATE project_warnings)
target_link_options(sample_installer PRIVATE -static -s -Wl,--no-insert-timestamp)

# Makes a sample payload of `size` (small or full) at `cab`, its source tree beside it.
function(web_installer_sample_payload size cab)
  add_custom_command(OUTPUT ${cab}
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/make_sample_payload.py --size ${size}
            --cab ${cab} --tree ${cab}.tree --installer $<TARGET_FILE:sample_installer>
    DEPENDS ${PROJECT_SOURCE_DIR}/tools/make_sample_payload.py sample_installer
    COMMENT "Making the ${size} sample payload")
endfunction()
web_installer_sample_payload(small ${WEB_INSTALLER_DEFAULT_PAYLOAD})
add_custom_target(default_payload DEPENDS ${WEB_INSTALLER_DEFAULT_PAYLOAD})

# The payload check runs on the build machine: built here as a host program.
set(PAYLOAD_CHECK ${CMAKE_BINARY_DIR}/host-tools/payload_check)
ExternalProject_Add(host_payload_check
  SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools/payload_check
  BINARY_DIR ${CMAKE_BINARY_DIR}/host-tools
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${PAYLOAD_CHECK}
  BUILD_ALWAYS ON)

# A stamp that exists only once `payload` has passed the check; depending on it makes a
# refused payload fail the build, with the check's message.
function(web_installer_checked_payload payload stamp)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${PAYLOAD_CHECK} ${payload} ${stamp}
    DEPENDS ${payload} host_payload_check
    COMMENT "Checking the payload ${payload}")
endfunction()
