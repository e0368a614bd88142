<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="eo">
<context>
    <name>Vantel</name>
    <message>
        <source>Couldn&apos;t read that image.</source>
        <translation>Ne eblis legi tiun bildon.</translation>
    </message>
    <message>
        <source>Feather</source>
        <translation>Plumo</translation>
    </message>
    <message>
        <source>Clear</source>
        <comment>background</comment>
        <translation>Travidebla</translation>
    </message>
</context>
<context>
    <name>VantelCut</name>
    <message>
        <source>Images to cut out.</source>
        <translation>Bildoj eltondotaj.</translation>
    </message>
    <message numerus="yes">
        <source>%n image(s)</source>
        <translation>
            <numerusform>%n bildo</numerusform>
            <numerusform>%n bildoj</numerusform>
        </translation>
    </message>
</context>
</TS>
