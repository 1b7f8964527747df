# Boost is used header-only. The cross compiler must not see the host's /usr/include (glibc headers),
# so the Boost folder alone is exposed through a private include root.
set(norvo_boost_root ${CMAKE_BINARY_DIR}/boost-include)
file(MAKE_DIRECTORY ${norvo_boost_root})
if(NOT EXISTS ${norvo_boost_root}/boost)
  file(CREATE_LINK /usr/include/boost ${norvo_boost_root}/boost SYMBOLIC)
endif()
add_library(norvo_boost INTERFACE)
target_include_directories(norvo_boost SYSTEM INTERFACE ${norvo_boost_root})
