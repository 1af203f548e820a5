# Run by CPack (CPACK_POST_BUILD_SCRIPTS) on each .deb it made. CPackDeb adds postinst and postrm
# scripts that run ldconfig whenever a shared object lies under /usr/lib, even in a private
# folder. The adapter layer in /usr/lib/renumber is only ever preloaded by path, so ldconfig has
# nothing to do; the scripts would only cost a run of ldconfig and leave the removed package in
# dpkg's config-files state. Only those generated scripts are taken out; any other is kept.
set(generated "^#!/bin/sh\n\nset -e\n\nif \\[ \"\\$1\" = \"(configure|remove)\" \\]; then\n\tldconfig\nfi\n?$")
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/unpacked)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  set(changed OFF)
  foreach(script IN ITEMS postinst postrm)
    if(EXISTS ${tree}/DEBIAN/${script})
      file(READ ${tree}/DEBIAN/${script} text)
      if(text MATCHES "${generated}")
        file(REMOVE ${tree}/DEBIAN/${script})
        set(changed ON)
      endif()
    endif()
  endforeach()
  if(changed)
    set(compression ${CPACK_DEBIAN_COMPRESSION_TYPE})
    if(NOT compression)
      set(compression gzip)
    endif()
    execute_process(COMMAND dpkg-deb --root-owner-group -Z${compression} --build ${tree} ${deb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
