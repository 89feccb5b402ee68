#pragma once
// Marks what the shared library exports; everything else stays hidden.
// On Windows a program using the DLL imports the same classes.
#ifndef OSTMAIL_EXPORT
#if defined(_WIN32) && defined(OSTMAIL_BUILDING)
#define OSTMAIL_EXPORT __declspec(dllexport)
#elif defined(_WIN32)
#define OSTMAIL_EXPORT __declspec(dllimport)
#else
#define OSTMAIL_EXPORT __attribute__((visibility("default")))
#endif
#endif
