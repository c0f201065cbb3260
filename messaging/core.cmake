# Portable messaging core: records, comma lists, lock table, peer list and the
# dispatch decisions of the channel. No platform headers, so the same files
# build into the DLL and natively.
set(VELMORA_MESSAGING_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/Records.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CommaList.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LockTable.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PeerList.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ChannelCore.cpp
)
list(APPEND VELMORA_CORE_SOURCES ${VELMORA_MESSAGING_SOURCES})
