# The OAuth2 failure challenge is JSON, read with Qt's parser.
target_link_libraries(${VESK_LIB} PUBLIC Qt6::Core)
