#include "HostileXml.h"

QByteArray Repeat(const QByteArray& unit, int times) {
    QByteArray out;
    out.reserve(unit.size() * times);
    for (int i = 0; i < times; ++i) out += unit;
    return out;
}

QByteArray BillionLaughs() {
    QByteArray doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE Kestrune [\n<!ENTITY lol \"lol\">\n";
    for (int i = 1; i <= 9; ++i) {
        const QByteArray prev = i == 1 ? "lol" : "lol" + QByteArray::number(i - 1);
        doc += "<!ENTITY lol" + QByteArray::number(i) + " \"" + Repeat("&" + prev + ";", 10) + "\">\n";
    }
    return doc + "]>\n<Kestrune><freq>&lol9;</freq></Kestrune>\n";
}
