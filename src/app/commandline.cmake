# The product version --version prints: the project's version, the one the
# executable's version block carries too.
target_compile_definitions(${VESK_LIB} PRIVATE VESK_PRODUCT_VERSION="${PROJECT_VERSION}")
