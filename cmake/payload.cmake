# The payload embedded as resource 5428/137. The product team names its cabinet with
# -DWEB_INSTALLER_PAYLOAD=/path/to.cab, or the folder that holds its installation set with
# -DWEB_INSTALLER_PAYLOAD=/path/to/folder (the build then makes the cabinet); without either,
# the build makes the small sample payload around the sample installer. Whichever way, the
# build checks the cabinet before embedding it: WEB_INSTALLER_PAYLOAD_CAB.
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
set(WEB_INSTALLER_PAYLOAD ${WEB_INSTALLER_DEFAULT_PAYLOAD} CACHE FILEPATH
    "The cabinet embedded in the launcher, or the folder of the installation set to make it from")

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

# A folder: its cabinet is remade by tools/make_folder_payload.py, which runs at every build
# and rewrites the cabinet only when the folder's names or contents changed (file times play
# no part), or stops the build naming the path the launcher could not serve.
if(IS_DIRECTORY "${WEB_INSTALLER_PAYLOAD}")
  set(WEB_INSTALLER_PAYLOAD_CAB ${WEB_INSTALLER_SAMPLE_DIR}/folder.cab)
  add_custom_target(folder_payload ALL
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/make_folder_payload.py ${WEB_INSTALLER_PAYLOAD}
            ${WEB_INSTALLER_PAYLOAD_CAB}
    BYPRODUCTS ${WEB_INSTALLER_PAYLOAD_CAB}
    COMMENT "Making the payload from the folder ${WEB_INSTALLER_PAYLOAD}"
    VERBATIM)
else()
  set(WEB_INSTALLER_PAYLOAD_CAB ${WEB_INSTALLER_PAYLOAD})
endif()
