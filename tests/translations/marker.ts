<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- A translation that is told apart from the shipped ones by one text:
     the tests put it where the console may look for a translation. -->
<TS version="2.1" language="fr_FR">
<context>
    <name>MainWindow</name>
    <message>
        <source>Serial Port</source>
        <translation>MARKER</translation>
    </message>
</context>
</TS>
