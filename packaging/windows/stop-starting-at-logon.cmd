@echo off
rem Removes the log-on entry that start-at-logon.cmd added; a running service goes on until log-off.
reg delete "HKCU\Software\Microsoft\Windows\CurrentVersion\Run" /v qorv-utility-service /f >nul 2>nul
exit /b 0
