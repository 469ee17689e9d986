# The desktop keyring (Secret Service) through QtKeychain.
find_package(Qt6Keychain REQUIRED)
target_link_libraries(${VESK_LIB} PRIVATE Qt6Keychain::Qt6Keychain)
