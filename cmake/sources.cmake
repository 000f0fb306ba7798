# Sources of one subsystem folder.
function(sk_folder_sources out folder)
  file(GLOB found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.cpp)
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# A static library of one subsystem folder (an interface library while the
# folder has no sources yet).
function(sk_folder_library target folder)
  sk_folder_sources(found ${folder})
  if(found)
    add_library(${target} STATIC ${found})
    sk_target_defaults(${target})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR})
  endif()
endfunction()
