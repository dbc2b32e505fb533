<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- A translation of the Help texts for the tests only. Its texts hold the
     characters that could cut a mail URL or break rich text: & # % = + ? -->
<TS version="2.1" language="fr">
<context>
    <name>AboutWindows</name>
    <message>
        <source>About</source>
        <translation>À propos</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Fermer</translation>
    </message>
    <message>
        <source>Microsoft Windows XP</source>
        <translation>Microsoft Windows XP Édition familiale</translation>
    </message>
    <message>
        <source>Microsoft OS</source>
        <translation>Système Microsoft</translation>
    </message>
    <message>
        <source>(32bit)</source>
        <translation>(32 bits)</translation>
    </message>
    <message>
        <source>(64bit)</source>
        <translation>(64 bits)</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Subject: Veldo Support Request (From:</source>
        <translation>Objet : demande #7 &amp; 100% d&apos;aide Veldo %41=B+C (De :</translation>
    </message>
    <message>
        <source>Here: your question...</source>
        <translation>Ici : votre question &amp; la suite ?a=b#fin
deuxième ligne 50 %20</translation>
    </message>
</context>
</TS>
