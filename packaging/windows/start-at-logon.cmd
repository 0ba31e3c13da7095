@echo off
rem Starts the service at every log-on of this user, through an entry in the user's Startup folder
rem that names this folder's executable, and starts it now.
set "startup=%APPDATA%\Microsoft\Windows\Start Menu\Programs\Startup"
if not exist "%startup%" mkdir "%startup%" || exit /b 1
> "%startup%\qorv-utility-service.cmd" echo @start "" "%~dp0qorv-utility-service.exe"
if errorlevel 1 exit /b 1
start "" "%~dp0qorv-utility-service.exe"
