/*
 * static_init.h
 *
 * The driver's static objects without compiler-run constructors: DriverEntry builds them
 * in one explicit step, and each object's destructor goes on the driver's exit list, which
 * DriverUnload (or a failed DriverEntry) runs newest entry first.
 */
#pragma once

#include <ntddk.h>

// Builds one static object; it cannot fail.
typedef _IRQL_requires_(PASSIVE_LEVEL)
_Function_class_(DRIVER_STATIC_CONSTRUCTOR)
VOID DRIVER_STATIC_CONSTRUCTOR(VOID);
typedef DRIVER_STATIC_CONSTRUCTOR *PDRIVER_STATIC_CONSTRUCTOR;

// Destroys one static object; entered in the exit list once the object is built.
typedef _IRQL_requires_(PASSIVE_LEVEL)
_Function_class_(DRIVER_EXIT_ROUTINE)
VOID DRIVER_EXIT_ROUTINE(VOID);
typedef DRIVER_EXIT_ROUTINE *PDRIVER_EXIT_ROUTINE;

// How many destructors the exit list holds.
#define DRIVER_EXIT_LIST_CAPACITY 8

/*
 * Builds every static object of the driver in table order and enters each destructor in
 * the exit list. If an entry cannot be made, the object just built is destroyed, the exit
 * list is run and STATUS_INSUFFICIENT_RESOURCES is returned.
 */
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RunStaticInitializers(VOID);

// Enters Routine in the exit list; STATUS_INSUFFICIENT_RESOURCES when the list is full.
_Must_inspect_result_
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RegisterExitRoutine(_In_ PDRIVER_EXIT_ROUTINE Routine);

// Runs and removes every entry, newest first. An empty list does nothing.
_IRQL_requires_(PASSIVE_LEVEL)
VOID RunExitList(VOID);

// Entries waiting on the exit list.
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG ExitListLength(VOID);
