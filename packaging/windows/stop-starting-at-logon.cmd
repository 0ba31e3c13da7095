@echo off
rem Removes the Startup-folder entry that start-at-logon.cmd made; a running service goes on until log-off.
del "%APPDATA%\Microsoft\Windows\Start Menu\Programs\Startup\qorv-utility-service.cmd" >nul 2>nul
exit /b 0
