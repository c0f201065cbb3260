# Portable part of the working-directory code: the migration walk. No
# platform headers, so it builds into the DLL and natively.
list(APPEND VELMORA_CORE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/MigrationPlan.cpp)
