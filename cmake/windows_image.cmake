# How every Windows image of the project is compiled and linked. The product (i686), the
# 32-bit test tree (i686, the product's options) and the twin (x86_64) take the same
# options, so that what is measured on either test tree holds for the product.

# No build paths inside the image: the same sources give the same bytes in any folder.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=.
                    -ffunction-sections -fdata-sections)
if(WEB_INSTALLER_FLAVOUR STREQUAL "release" OR WEB_INSTALLER_FLAVOUR STREQUAL "wine32")
  add_compile_options(-Os)
endif()

function(web_installer_image_options target)
  target_link_options(${target} PRIVATE
    -static               # runtime linked in: no DLL beyond the system's
    -Wl,--gc-sections
    -Wl,--no-insert-timestamp  # deterministic: no link time in the header
    # Sections laid out in the file as in memory, page by page, so that the loader can map
    # the payload straight from the executable instead of reading it in at start-up.
    -Wl,--file-alignment,4096
    -Wl,--section-alignment,4096
    -s)
endfunction()

# The payload reaches the linker once. CMake's makefiles for mingw first copy a target's
# objects into a temporary archive (a way around long command lines that gcc no longer needs:
# it takes response files), which for the launcher is one more copy of the whole payload, on
# disk and in time; the few objects are passed as they are.
list(GET CMAKE_CXX_LINK_EXECUTABLE -1 link_rule)
string(REPLACE "-Wl,--whole-archive <OBJECT_DIR>/objects.a -Wl,--no-whole-archive" "<OBJECTS>" link_rule "${link_rule}")
set(CMAKE_CXX_LINK_EXECUTABLE "${link_rule}")
