# Authenticode signing of the product (release tree). Given a key, the linked image goes to
# unsigned/Web_Installer.exe and tools/sign_image.py signs it into Web_Installer.exe, the file
# that ships; without a key nothing changes and the linked image is the file that ships.
# Only paths are kept here: the password stays in its file, which the signing tools read.
set(WEB_INSTALLER_SIGNING_PKCS12 "" CACHE FILEPATH "The PKCS#12 file of the code-signing key and certificate; empty: no signing")
set(WEB_INSTALLER_SIGNING_PASSWORD_FILE "" CACHE FILEPATH "The file whose first line is the PKCS#12 file's password")
set(WEB_INSTALLER_SIGNING_TIME "" CACHE STRING
    "The signing time, in seconds since 1970 (UTC); empty: the later of the certificate's start and SOURCE_DATE_EPOCH, else the last commit's time")
set(WEB_INSTALLER_TIMESTAMP_URL "" CACHE STRING
    "An RFC 3161 timestamp server; empty (the default): none, and signing is reproducible")

# The file that ships, signed or not.
set(WEB_INSTALLER_IMAGE ${CMAKE_BINARY_DIR}/Web_Installer.exe)

# Stops the configuration; a signed image of an earlier build does not stay behind as if
# it were this build's.
function(web_installer_signing_refused text)
  file(REMOVE ${WEB_INSTALLER_IMAGE})
  message(FATAL_ERROR "Signing: ${text}")
endfunction()

# Signs the executable `target` into WEB_INSTALLER_IMAGE when a key is given.
function(web_installer_signing target)
  if(WEB_INSTALLER_SIGNING_PKCS12 STREQUAL "")
    return()
  endif()
  foreach(var WEB_INSTALLER_SIGNING_PKCS12 WEB_INSTALLER_SIGNING_PASSWORD_FILE)
    if(NOT EXISTS "${${var}}" OR IS_DIRECTORY "${${var}}")
      web_installer_signing_refused("${var} names \"${${var}}\", which is not a file")
    endif()
  endforeach()

  # Given, the time is taken as it is; else the sources' time, which the signing step raises
  # to the certificate's start when the certificate is newer.
  set(time "${WEB_INSTALLER_SIGNING_TIME}")
  set(time_from "WEB_INSTALLER_SIGNING_TIME")
  set(time_option --time)
  if(time STREQUAL "")
    set(time_option --source-time)
  endif()
  if(time STREQUAL "" AND DEFINED ENV{SOURCE_DATE_EPOCH})
    set(time "$ENV{SOURCE_DATE_EPOCH}")
    set(time_from "SOURCE_DATE_EPOCH")
  endif()
  if(time STREQUAL "")
    find_package(Git QUIET)
    if(GIT_FOUND)
      execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                      OUTPUT_VARIABLE time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} rev-parse --absolute-git-dir
                      OUTPUT_VARIABLE git_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(EXISTS "${git_dir}/logs/HEAD")
        # A new commit gives a new signing time: configure again then.
        set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${git_dir}/logs/HEAD)
      endif()
    endif()
    set(time_from "the last commit's time")
  endif()
  if(NOT time MATCHES "^[0-9]+$")
    web_installer_signing_refused("no signing time (\"${time}\" from ${time_from}): set WEB_INSTALLER_SIGNING_TIME "
                                  "to seconds since 1970, or SOURCE_DATE_EPOCH")
  endif()
  if(time_option STREQUAL "--source-time")
    set(time_from "${time_from}, or the certificate's start if later")
  endif()
  message(STATUS "Signing ${WEB_INSTALLER_IMAGE} with ${WEB_INSTALLER_SIGNING_PKCS12}, signing time ${time} (${time_from})")

  # What the signature depends on besides the files: a change re-signs.
  set(settings ${CMAKE_BINARY_DIR}/signing/settings.txt)
  file(CONFIGURE OUTPUT ${settings} CONTENT "${time_option} ${time}\ntimestamp ${WEB_INSTALLER_TIMESTAMP_URL}\n")
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/unsigned)
  set(timestamp)
  if(NOT WEB_INSTALLER_TIMESTAMP_URL STREQUAL "")
    set(timestamp --timestamp-url ${WEB_INSTALLER_TIMESTAMP_URL})
  endif()
  add_custom_command(OUTPUT ${WEB_INSTALLER_IMAGE}
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/sign_image.py
            --pkcs12 ${WEB_INSTALLER_SIGNING_PKCS12} --password-file ${WEB_INSTALLER_SIGNING_PASSWORD_FILE}
            ${time_option} ${time} ${timestamp} --in $<TARGET_FILE:${target}> --out ${WEB_INSTALLER_IMAGE}
    DEPENDS ${target} ${WEB_INSTALLER_SIGNING_PKCS12} ${WEB_INSTALLER_SIGNING_PASSWORD_FILE} ${settings}
            ${PROJECT_SOURCE_DIR}/tools/sign_image.py
    COMMENT "Signing ${WEB_INSTALLER_IMAGE}"
    VERBATIM)
  add_custom_target(${target}_signed ALL DEPENDS ${WEB_INSTALLER_IMAGE})
endfunction()
