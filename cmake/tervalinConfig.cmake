# tervalin's kit for extension modules built separately from it: the
# producer (<tervalin/producer.hpp>) and native logging (<tervalin/log.hpp>),
# header-only, so the target carries nothing but the include directory.
#
#   find_package(tervalin CONFIG REQUIRED)
#   target_link_libraries(my_extension PRIVATE tervalin::producer)
#
# The wheel installs this file as <prefix>/share/cmake/tervalin/ and the
# headers as <prefix>/include/tervalin/, <prefix> being the environment's
# (sys.prefix). CMake finds it there when the environment's bin is on PATH,
# as in an activated virtual environment; otherwise pass the prefix in
# CMAKE_PREFIX_PATH.
get_filename_component(_tervalin_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET tervalin::producer)
  add_library(tervalin::producer INTERFACE IMPORTED)
  set_target_properties(tervalin::producer PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_tervalin_prefix}/include"
    INTERFACE_COMPILE_FEATURES cxx_std_17)
endif()
unset(_tervalin_prefix)
