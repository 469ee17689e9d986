# Where Vesk finds vesk-desktop when it is not beside it: the installed
# tree's private program folder, relative to the folder of Vesk.
include(GNUInstallDirs)
file(RELATIVE_PATH _vesk_desktop_folder "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBEXECDIR}/vesk")
target_compile_definitions(${VESK_LIB} PRIVATE VESK_DESKTOP_FOLDER_FROM_BIN="${_vesk_desktop_folder}")
