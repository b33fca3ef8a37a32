# Queries scripts/package-windows.sh runs on the MSI wixl made, one a line (msibuild -q), for
# what wixl 0.101 cannot express. @VERSION@ and @UPGRADE_CODE@ are filled in.
#
# The PATH entry of Environment.idt is written and taken back by the standard actions, at
# their standard places in the sequence.
INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveEnvironmentStrings', 3300)
INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteEnvironmentStrings', 5200)
# It is an option: msiexec /i ... ADDTOPATH=1 (remembered for upgrades, see the .wxs). During
# the uninstall (REMOVE=ALL) the condition holds, so that the entry is taken back.
UPDATE `Component` SET `Condition` = 'ADDTOPATH OR REMOVE~="ALL"' WHERE `Component` = 'PathEntry'
# The settings file Tarvolo.exe writes into its folder: without it the folder would stay.
INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('RemoveSettings', 'Programs', 'Tarvolo.cfg', 'INSTALLDIR', 2)
# An install replaces an installed Tarvolo of the same version too (wixl's MajorUpgrade has no
# AllowSameVersionUpgrades), so that the 32- and 64-bit packages never sit side by side in one
# folder. The key column cannot be updated: the row is made anew (513 = migrate features +
# maximum included).
DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'
INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('@UPGRADE_CODE@', '@VERSION@', 513, 'WIX_UPGRADE_DETECTED')
