# The optional version resource. When the product team sets WEB_INSTALLER_VERSION (and, if it
# likes, the product name, the company and the copyright), the launcher carries a VERSIONINFO
# resource in Japanese (language 1041, Unicode strings) with those values, as Explorer's
# properties and the signing tools show them. Without a version the image carries none.
# WEB_INSTALLER_VERSION_RC is the resource script's text for it, empty when there is none.
set(WEB_INSTALLER_VERSION "" CACHE STRING "The product version, 1 to 4 numbers (e.g. 2.1.0.7); empty: no version resource")
set(WEB_INSTALLER_PRODUCT_NAME "" CACHE STRING "The product name in the version resource (UTF-8)")
set(WEB_INSTALLER_COMPANY "" CACHE STRING "The company name in the version resource (UTF-8)")
set(WEB_INSTALLER_COPYRIGHT "" CACHE STRING "The copyright notice in the version resource (UTF-8)")

set(WEB_INSTALLER_VERSION_RC "")
if(WEB_INSTALLER_VERSION STREQUAL "")
  foreach(var WEB_INSTALLER_PRODUCT_NAME WEB_INSTALLER_COMPANY WEB_INSTALLER_COPYRIGHT)
    if(NOT "${${var}}" STREQUAL "")
      message(FATAL_ERROR "${var} is set but WEB_INSTALLER_VERSION is not: the version resource needs a version")
    endif()
  endforeach()
  return()
endif()

if(NOT WEB_INSTALLER_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
  message(FATAL_ERROR "WEB_INSTALLER_VERSION \"${WEB_INSTALLER_VERSION}\" is not 1 to 4 numbers separated by dots")
endif()
string(REPLACE "." ";" numbers "${WEB_INSTALLER_VERSION}")
foreach(n IN LISTS numbers)
  if(n GREATER 65535)
    message(FATAL_ERROR "WEB_INSTALLER_VERSION \"${WEB_INSTALLER_VERSION}\": ${n} is above 65535")
  endif()
endforeach()
list(LENGTH numbers count)
while(count LESS 4)
  list(APPEND numbers 0)
  math(EXPR count "${count} + 1")
endwhile()
list(JOIN numbers "," binary_version)

# One VALUE line; the text is quoted for the resource compiler ("" for a quote, \\ for a
# backslash). Empty values are left out.
function(web_installer_version_value out key text)
  if(NOT text STREQUAL "")
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\"\"" text "${text}")
    set(${out} "${${out}}      VALUE \"${key}\", \"${text}\"\n" PARENT_SCOPE)
  endif()
endfunction()
set(values "")
web_installer_version_value(values CompanyName "${WEB_INSTALLER_COMPANY}")
web_installer_version_value(values FileDescription "${WEB_INSTALLER_PRODUCT_NAME}")
web_installer_version_value(values FileVersion "${WEB_INSTALLER_VERSION}")
web_installer_version_value(values InternalName "Web_Installer")
web_installer_version_value(values LegalCopyright "${WEB_INSTALLER_COPYRIGHT}")
web_installer_version_value(values OriginalFilename "Web_Installer.exe")
web_installer_version_value(values ProductName "${WEB_INSTALLER_PRODUCT_NAME}")
web_installer_version_value(values ProductVersion "${WEB_INSTALLER_VERSION}")

set(WEB_INSTALLER_VERSION_RC "
// The version resource: Japanese (0x0411), Unicode (1200). The values are UTF-8 here.
#pragma code_page(65001)
LANGUAGE 0x11, 0x01
1 VERSIONINFO
FILEVERSION ${binary_version}
PRODUCTVERSION ${binary_version}
FILEFLAGSMASK 0x3F
FILEFLAGS 0x0
FILEOS 0x40004
FILETYPE 0x1
FILESUBTYPE 0x0
BEGIN
  BLOCK \"StringFileInfo\"
  BEGIN
    BLOCK \"041104B0\"
    BEGIN
${values}    END
  END
  BLOCK \"VarFileInfo\"
  BEGIN
    VALUE \"Translation\", 0x0411, 1200
  END
END
")
