# A test variant of the package (installer/finish_package.cmake runs the lines
# that start with a capital): with the property BX_TEST_FAIL set, a deferred
# action fails right after the driver's removal, or after the settings were
# written at installation, and the installer rolls back. The action runs
# cmd.exe, which exits with 1 (type 34: a program in a folder, 0x400 in the
# script, 0x800 without impersonation).
INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('TestFailAfterDriverRemoval', 3106, 'INSTALLDIR', '"[System64Folder]cmd.exe" /c exit 1')
INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('TestFailAfterSettings', 3106, 'INSTALLDIR', '"[System64Folder]cmd.exe" /c exit 1')
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('TestFailAfterDriverRemoval', 'REMOVE AND BX_TEST_FAIL', 1925)
INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('TestFailAfterSettings', 'NOT REMOVE AND BX_TEST_FAIL', 5850)
