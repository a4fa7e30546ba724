@echo off
rem SPDX-License-Identifier: Apache-2.0
rem Starts the point-of-sale port console; zkpos-console --help lists its commands.
rem The DLLs, the jars and this file stand in one folder. JAVA_HOME, when set,
rem chooses the Java runtime; else java is taken from the PATH.
setlocal
set "ZKPOS_JAVA=java"
if defined JAVA_HOME set "ZKPOS_JAVA=%JAVA_HOME%\bin\java.exe"
"%ZKPOS_JAVA%" -Dzkpos.library="%~dp0ZkPosDll64.dll" -cp "%~dp0zkpos-console.jar;%~dp0zkpos.jar" com.zelkor.jpos.console.ZkPosConsole %*
