#pragma once
// Marks what the shared library exports; everything else stays hidden.
#ifndef OSTMAIL_EXPORT
#if defined(_WIN32)
#define OSTMAIL_EXPORT __declspec(dllexport)
#else
#define OSTMAIL_EXPORT __attribute__((visibility("default")))
#endif
#endif
