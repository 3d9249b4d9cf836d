# A ZIP for Windows users, made by `cpack --config build/<preset>/CPackConfig.cmake`: the files
# installed as COMPONENT, with README.txt (from TEMPLATE) and LICENSE.txt, their Windows line
# endings and the version filled in, unpacking into one folder named after the release, as the
# README inside says. A macro: CPack reads its settings from the directory's scope.
macro(grindlet_windows_zip component template release_suffix)
  configure_file(${template} ${CMAKE_BINARY_DIR}/package/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/package/LICENSE.txt @ONLY
    NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/package/README.txt ${CMAKE_BINARY_DIR}/package/LICENSE.txt
    DESTINATION . COMPONENT ${component} EXCLUDE_FROM_ALL)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME QZ-Grindlet)
  set(CPACK_PACKAGE_FILE_NAME "QZ-Grindlet-${PROJECT_VERSION}-${release_suffix}")
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL ${component})
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
  include(CPack)
endmacro()
