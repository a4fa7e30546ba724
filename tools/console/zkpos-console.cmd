@echo off
rem SPDX-License-Identifier: Apache-2.0
rem Starts the point-of-sale port console; zkpos-console --help lists its commands.
rem The DLL, the jars and this file stand in one folder.
java -Dzkpos.library="%~dp0ZkPosDll64.dll" -cp "%~dp0zkpos-console.jar;%~dp0zkpos.jar" com.zelkor.jpos.console.ZkPosConsole %*
