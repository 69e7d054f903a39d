# Read by cpack before it makes a package. A package for another CPU takes
# its library dependencies from the target's own libraries: dpkg-shlibdeps
# looks in the multiarch directories of DEB_HOST_ARCH (/lib/<triple>,
# /usr/lib/<triple>), where the target's runtime is installed beside the
# host's (libc6:<arch>, libstdc++6:<arch>), and reads their symbol files.
if(CPACK_TRELVOX_DEB_HOST_ARCH)
  set(ENV{DEB_HOST_ARCH} "${CPACK_TRELVOX_DEB_HOST_ARCH}")
endif()
