@echo off
rem Starts the service at every log-on of this user, from the folder this script is in, and now.
reg add "HKCU\Software\Microsoft\Windows\CurrentVersion\Run" /v qorv-utility-service /t REG_SZ /d "\"%~dp0qorv-utility-service.exe\"" /f >nul || exit /b 1
start "" "%~dp0qorv-utility-service.exe"
