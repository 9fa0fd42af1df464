// Hostile preferences files shared by the XML and preferences tests.
#pragma once

#include <QByteArray>

// unit, times times over.
QByteArray Repeat(const QByteArray& unit, int times);

// A "billion laughs" document: nine levels of entities, each ten of the one
// below, referenced from the freq element.
QByteArray BillionLaughs();
