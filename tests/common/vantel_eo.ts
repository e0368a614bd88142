<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="eo">
<context>
    <name>Vantel</name>
    <message>
        <source>Couldn&apos;t read that image.</source>
        <translation>Ne eblis legi tiun bildon.</translation>
    </message>
</context>
</TS>
