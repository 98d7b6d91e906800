# tervalin's producer kit for extension modules built separately from it:
# header-only, so the target carries nothing but the include directory.
#
#   find_package(tervalin CONFIG REQUIRED)
#   target_link_libraries(my_extension PRIVATE tervalin::producer)
#
# The wheel installs this file under site-packages, which scikit-build-core
# puts on CMake's search path; other builds pass the site-packages directory
# in CMAKE_PREFIX_PATH.
get_filename_component(_tervalin_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(NOT TARGET tervalin::producer)
  add_library(tervalin::producer INTERFACE IMPORTED)
  set_target_properties(tervalin::producer PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_tervalin_root}/include"
    INTERFACE_COMPILE_FEATURES cxx_std_17)
endif()
unset(_tervalin_root)
