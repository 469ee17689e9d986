# The TLS layer uses OpenSSL 3 (Debian's libssl).
find_package(OpenSSL 3 REQUIRED)
target_link_libraries(${VESK_LIB} PUBLIC OpenSSL::SSL OpenSSL::Crypto)
