# The TLS layer uses OpenSSL 3 (Debian's libssl), loaded when the first TLS
# session starts (net/OpenSsl.h): only its headers are needed to build.
find_package(OpenSSL 3 REQUIRED)
target_include_directories(${VESK_LIB} PUBLIC ${OPENSSL_INCLUDE_DIR})
target_link_libraries(${VESK_LIB} PUBLIC ${CMAKE_DL_LIBS})
