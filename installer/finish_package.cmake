# Sets in a package wixl built from hvn_agent.wxs what wixl cannot write:
#   cmake -DMSI=package.msi -DWXS=hvn_agent.wxs -DMSIBUILD=msibuild [-DEXTRA_SQL=file] -P finish_package.cmake
# - the custom action types of the actions marked Execute="rollback" or
#   Execute="commit" (wixl makes them immediate actions, run at once);
# - the upgrade's removal of the earlier version: REMOVE set to the package's
#   features (the Upgrade table's Remove column) rather than "ALL", so that
#   the earlier version's removal can tell an upgrade from a removal, and
#   RemoveExistingProducts right after InstallInitialize, so that the removal
#   is part of the installation's transaction (wixl puts it before);
# - then the queries of EXTRA_SQL, one a line (test variants of the package).
foreach(var MSI WXS MSIBUILD)
  if(NOT ${var})
    message(FATAL_ERROR "finish_package.cmake: ${var} not given")
  endif()
endforeach()

set(queries "")
file(READ ${WXS} wxs)
# Custom action types: DLL in the Binary table (1), in the script (0x400),
# without impersonation (0x800), its result ignored (0x40), and rollback
# (0x100) or commit (0x200).
string(REGEX MATCHALL "<CustomAction [^>]*Execute=\"(rollback|commit)\"[^>]*/>" scripted "${wxs}")
foreach(action ${scripted})
  if(NOT action MATCHES "Id=\"([A-Za-z0-9_]+)\"")
    message(FATAL_ERROR "finish_package.cmake: no Id in ${action}")
  endif()
  set(id ${CMAKE_MATCH_1})
  if(NOT action MATCHES "BinaryKey=" OR NOT action MATCHES "Impersonate=\"no\"" OR NOT action MATCHES "Return=\"ignore\"")
    message(FATAL_ERROR "finish_package.cmake: ${id} must be a DLL action with Impersonate=\"no\" Return=\"ignore\"")
  endif()
  if(action MATCHES "Execute=\"rollback\"")
    math(EXPR type "1 + 0x400 + 0x800 + 0x40 + 0x100")
  else()
    math(EXPR type "1 + 0x400 + 0x800 + 0x40 + 0x200")
  endif()
  list(APPEND queries "UPDATE `CustomAction` SET `Type` = ${type} WHERE `Action` = '${id}'")
endforeach()

string(REGEX MATCHALL "<Feature Id=\"[A-Za-z0-9_]+\"" features "${wxs}")
list(TRANSFORM features REPLACE "<Feature Id=\"([A-Za-z0-9_]+)\"" "\\1")
list(JOIN features "," remove)
list(APPEND queries
  "UPDATE `Upgrade` SET `Remove` = '${remove}' WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'"
  "UPDATE `InstallExecuteSequence` SET `Sequence` = 1501 WHERE `Action` = 'RemoveExistingProducts'")

if(EXTRA_SQL)
  file(STRINGS ${EXTRA_SQL} extra REGEX "^[A-Z]")
  list(APPEND queries ${extra})
endif()

foreach(query ${queries})
  execute_process(COMMAND ${MSIBUILD} ${MSI} -q "${query}" RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "finish_package.cmake: msibuild failed on ${query}: ${err}")
  endif()
endforeach()
