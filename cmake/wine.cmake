# The Wine that runs a Windows tree's programs, found once: the loader of the tree's width
# (the 32-bit one also runs the 32-bit product in a 64-bit prefix) and the server beside it.
# CTest starts the tree's test programs through the loader, and every test gets both paths
# in its environment (WI_WINE, WI_WINESERVER). A machine without that Wine still configures
# the tree; its tests then fail to start (the test command reports the 32-bit tree as skipped
# where the kernel cannot run 32-bit code).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(loader_names wine64)
else()
  set(loader_names wine)
endif()
find_program(WEB_INSTALLER_WINE NAMES ${loader_names} PATHS /usr/lib/wine NO_DEFAULT_PATH
             DOC "The Wine loader that runs this tree's programs")
get_filename_component(wine_dir "${WEB_INSTALLER_WINE}" DIRECTORY)
find_program(WEB_INSTALLER_WINESERVER NAMES wineserver PATHS ${wine_dir} NO_DEFAULT_PATH
             DOC "The server of that Wine")
set(CMAKE_CROSSCOMPILING_EMULATOR ${WEB_INSTALLER_WINE})
