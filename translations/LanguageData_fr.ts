<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR">
<context>
    <name>AboutWindows</name>
    <message>
        <location filename="../forms/aboutwindows.ui" line="7"/>
        <source>About</source>
        <translation>À propos</translation>
    </message>
    <message>
        <location filename="../forms/aboutwindows.ui" line="29"/>
        <source>...</source>
        <translation>...</translation>
    </message>
    <message>
        <location filename="../forms/aboutwindows.ui" line="42"/>
        <source>Close</source>
        <translation>Fermer</translation>
    </message>
    <message>
        <location filename="../base/aboutinfo.cpp" line="24"/>
        <source>Microsoft Windows NT</source>
        <translation>Microsoft Windows NT</translation>
    </message>
    <message>
        <location filename="../base/aboutinfo.cpp" line="25"/>
        <source>Microsoft Windows 2000</source>
        <translation>Microsoft Windows 2000</translation>
    </message>
    <message>
        <location filename="../base/aboutinfo.cpp" line="26"/>
        <source>Microsoft Windows XP</source>
        <translation>Microsoft Windows XP</translation>
    </message>
    <message>
        <location filename="../base/aboutinfo.cpp" line="27"/>
        <source>Microsoft Windows 2003</source>
        <translation>Microsoft Windows 2003</translation>
    </message>
    <message>
        <location filename="../base/aboutinfo.cpp" line="28"/>
        <source>Microsoft Windows Vista</source>
        <translation>Microsoft Windows Vista</translation>
    </message>
    <message>
        <location filename="../base/aboutinfo.cpp" line="29"/>
        <source>Microsoft Windows 7</source>
        <translation>Microsoft Windows 7</translation>
    </message>
    <message>
        <location filename="../base/aboutinfo.cpp" line="40"/>
        <source>Microsoft OS</source>
        <translation>Système d&apos;exploitation Microsoft</translation>
    </message>
    <message>
        <location filename="../base/aboutinfo.cpp" line="93"/>
        <source>(32bit)</source>
        <translation>(32 bits)</translation>
    </message>
    <message>
        <location filename="../base/aboutinfo.cpp" line="95"/>
        <source>(64bit)</source>
        <translation>(64 bits)</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <location filename="../forms/mainwindow.ui" line="6"/>
        <source>Tunaris - Serial Console</source>
        <translation>Tunaris - Serial Console</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="20"/>
        <location filename="../command/playercommand.cpp" line="61"/>
        <source>Source</source>
        <translation>Source</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="35"/>
        <source>Change</source>
        <translation>Changer</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="46"/>
        <source>Web Radio</source>
        <translation>Radio Web</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="60"/>
        <location filename="../forms/mainwindow.ui" line="353"/>
        <location filename="../forms/mainwindow.ui" line="457"/>
        <location filename="../forms/mainwindow.ui" line="572"/>
        <source>Load</source>
        <translation>Charger</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="71"/>
        <source>FTP Client</source>
        <translation>Client FTP</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="85"/>
        <source>Launch</source>
        <translation>Lancer</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="98"/>
        <source>Volume</source>
        <translation>Volume</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="111"/>
        <source>XLR</source>
        <translation>XLR</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="116"/>
        <source>RCA</source>
        <translation>RCA</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="121"/>
        <location filename="../forms/mainwindow.ui" line="129"/>
        <location filename="../forms/mainwindow.ui" line="137"/>
        <source>Min</source>
        <translation>Min</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="145"/>
        <location filename="../forms/mainwindow.ui" line="195"/>
        <location filename="../forms/mainwindow.ui" line="203"/>
        <source>Max</source>
        <translation>Max</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="211"/>
        <location filename="../forms/mainwindow.ui" line="212"/>
        <location filename="../forms/mainwindow.ui" line="217"/>
        <location filename="../forms/mainwindow.ui" line="218"/>
        <location filename="../forms/mainwindow.ui" line="223"/>
        <location filename="../forms/mainwindow.ui" line="224"/>
        <location filename="../app/volume.cpp" line="31"/>
        <source>Mute</source>
        <translation>Sourdine</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="247"/>
        <location filename="../forms/mainwindow.ui" line="255"/>
        <location filename="../forms/mainwindow.ui" line="263"/>
        <source>More</source>
        <translation>Plus</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="271"/>
        <location filename="../forms/mainwindow.ui" line="279"/>
        <location filename="../forms/mainwindow.ui" line="287"/>
        <source>Less</source>
        <translation>Moins</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="295"/>
        <location filename="../forms/mainwindow.ui" line="300"/>
        <location filename="../forms/mainwindow.ui" line="305"/>
        <source>-0 dB</source>
        <translation>-0 dB</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="310"/>
        <source>ALL</source>
        <translation>TOUT</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="323"/>
        <source>Playlist</source>
        <translation>Liste de lecture</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="336"/>
        <location filename="../forms/mainwindow.ui" line="440"/>
        <location filename="../forms/mainwindow.ui" line="580"/>
        <source>RND</source>
        <translation>ALÉA</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="342"/>
        <location filename="../forms/mainwindow.ui" line="446"/>
        <location filename="../forms/mainwindow.ui" line="589"/>
        <source>SEQ</source>
        <translation>SÉQ</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="347"/>
        <location filename="../forms/mainwindow.ui" line="451"/>
        <source>Reset</source>
        <translation>Réinit.</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="369"/>
        <source>Transport</source>
        <translation>Transport</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="380"/>
        <source>Previous File</source>
        <translation>Fichier précédent</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="389"/>
        <location filename="../command/playercommand.cpp" line="36"/>
        <source>Play</source>
        <translation>Lecture</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="398"/>
        <location filename="../command/playercommand.cpp" line="37"/>
        <source>Stop</source>
        <translation>Arrêt</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="407"/>
        <location filename="../command/playercommand.cpp" line="36"/>
        <source>Pause</source>
        <translation>Pause</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="416"/>
        <source>Next File</source>
        <translation>Fichier suivant</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="427"/>
        <source>Folder</source>
        <translation>Dossier</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="473"/>
        <source>Serial Port</source>
        <translation>Port série</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="484"/>
        <source>Connect</source>
        <translation>Connecter</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="493"/>
        <source>Disconnect</source>
        <translation>Déconnecter</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="501"/>
        <location filename="../app/accessiblenames.cpp" line="16"/>
        <source>Port</source>
        <translation>Port</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="515"/>
        <source>BaudRate</source>
        <translation>Débit</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="524"/>
        <source>Auto-connection</source>
        <translation>Connexion automatique</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="537"/>
        <source>Status / Command Message</source>
        <translation>État / Message de commande</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="547"/>
        <source>...</source>
        <translation>...</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="561"/>
        <source>Spot</source>
        <translation>Spot</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="594"/>
        <source>X IN RND</source>
        <translation>X EN ALÉA</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="599"/>
        <source>X IN SEQ</source>
        <translation>X EN SÉQ</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="616"/>
        <source>&amp;File</source>
        <translation>&amp;Fichier</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="620"/>
        <source>&amp;Help</source>
        <translation>&amp;Aide</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="627"/>
        <source>&amp;Languages</source>
        <translation>&amp;Langues</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="639"/>
        <source>&amp;Exit</source>
        <translation>&amp;Quitter</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="643"/>
        <source>&amp;About</source>
        <translation>À &amp;propos</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="647"/>
        <source>&amp;Veldo Home Page</source>
        <translation>Page d&apos;accueil &amp;Veldo</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="651"/>
        <source>&amp;Contact Technical Support</source>
        <translation>&amp;Contacter le support technique</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="655"/>
        <source>Français</source>
        <translation>Français</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="659"/>
        <source>English</source>
        <translation>English</translation>
    </message>
    <message>
        <location filename="../forms/mainwindow.ui" line="664"/>
        <source>(Default)</source>
        <translation>(Par défaut)</translation>
    </message>
    <message>
        <location filename="../app/portslots.cpp" line="45"/>
        <source>%1; other programs cannot reach the console: %2</source>
        <translation>%1 ; les autres programmes ne peuvent pas joindre la console : %2</translation>
    </message>
    <message>
        <location filename="../app/portslots.cpp" line="173"/>
        <source>Open</source>
        <translation>Ouvert</translation>
    </message>
    <message>
        <location filename="../app/portslots.cpp" line="175"/>
        <source>No serial port</source>
        <translation>Aucun port série</translation>
    </message>
    <message>
        <location filename="../link/portaccess.cpp" line="128"/>
        <source>%1 is in use by another program (%2, process %3)</source>
        <translation>%1 est utilisé par un autre programme (%2, processus %3)</translation>
    </message>
    <message>
        <location filename="../link/portaccess.cpp" line="131"/>
        <source>%1 is in use by another program</source>
        <translation>%1 est utilisé par un autre programme</translation>
    </message>
    <message>
        <location filename="../link/portaccess.cpp" line="133"/>
        <source>Cannot open %1: no such port</source>
        <translation>Impossible d&apos;ouvrir %1 : port inexistant</translation>
    </message>
    <message>
        <location filename="../link/portaccess.cpp" line="136"/>
        <source>Cannot open %1: no permission (the user is not in the %2 group)</source>
        <translation>Impossible d&apos;ouvrir %1 : accès refusé (l&apos;utilisateur n&apos;est pas dans le groupe %2)</translation>
    </message>
    <message>
        <location filename="../link/portaccess.cpp" line="139"/>
        <source>Cannot open %1: no permission</source>
        <translation>Impossible d&apos;ouvrir %1 : accès refusé</translation>
    </message>
    <message>
        <location filename="../link/portaccess.cpp" line="141"/>
        <source>Cannot open %1: it makes new pseudo-terminals, it is not a serial port</source>
        <translation>Impossible d&apos;ouvrir %1 : il crée de nouveaux pseudo-terminaux, ce n&apos;est pas un port série</translation>
    </message>
    <message>
        <location filename="../link/portaccess.cpp" line="147"/>
        <source>Cannot open %1: %2</source>
        <translation>Impossible d&apos;ouvrir %1 : %2</translation>
    </message>
    <message>
        <location filename="../app/portslots.cpp" line="191"/>
        <source>Waiting for %1</source>
        <translation>En attente de %1</translation>
    </message>
    <message>
        <location filename="../app/portslots.cpp" line="214"/>
        <source>Close</source>
        <translation>Fermé</translation>
    </message>
    <message>
        <location filename="../app/portslots.cpp" line="229"/>
        <source>Serial port lost: %1</source>
        <translation>Port série perdu : %1</translation>
    </message>
    <message>
        <location filename="../app/portslots.cpp" line="226"/>
        <source>Serial port lost: %1 (a pseudo-terminal does not come back)</source>
        <translation>Port série perdu : %1 (un pseudo-terminal ne revient pas)</translation>
    </message>
    <message>
        <location filename="../app/portslots.cpp" line="244"/>
        <source>Serial port reconnected: %1</source>
        <translation>Port série reconnecté : %1</translation>
    </message>
    <message>
        <location filename="../app/portslots.cpp" line="259"/>
        <source>Serial port error: %1</source>
        <translation>Erreur du port série : %1</translation>
    </message>
    <message>
        <location filename="../app/portslots.cpp" line="288"/>
        <source>%1 (not sent)</source>
        <translation>%1 (non envoyé)</translation>
    </message>
    <message>
        <location filename="../app/portslots.cpp" line="150"/>
        <source>%1: outcome unknown (%2); check the player before sending it again</source>
        <translation>%1 : résultat inconnu (%2) ; vérifiez le lecteur avant de la renvoyer</translation>
    </message>
    <message>
        <location filename="../app/consolelink.cpp" line="91"/>
        <source>%1 through %2, which holds the port</source>
        <translation>%1 par %2, qui tient le port</translation>
    </message>
    <message>
        <location filename="../command/playercommand.cpp" line="37"/>
        <source>Next</source>
        <translation>Suivant</translation>
    </message>
    <message>
        <location filename="../command/playercommand.cpp" line="38"/>
        <source>Previous</source>
        <translation>Précédent</translation>
    </message>
    <message>
        <location filename="../command/playercommand.cpp" line="51"/>
        <source>Load folder</source>
        <translation>Charger le dossier</translation>
    </message>
    <message>
        <location filename="../command/playercommand.cpp" line="53"/>
        <source>Load playlist</source>
        <translation>Charger la liste de lecture</translation>
    </message>
    <message>
        <location filename="../command/playercommand.cpp" line="55"/>
        <source>Load Spot</source>
        <translation>Charger le spot</translation>
    </message>
    <message>
        <location filename="../command/playercommand.cpp" line="57"/>
        <source>Load WebRadio</source>
        <translation>Charger la radio Web</translation>
    </message>
    <message>
        <location filename="../command/playercommand.cpp" line="59"/>
        <source>Launch FTP</source>
        <translation>Lancer le client FTP</translation>
    </message>
    <message>
        <location filename="../command/playercommand.cpp" line="63"/>
        <source>Absolute Volume</source>
        <translation>Volume absolu</translation>
    </message>
    <message>
        <location filename="../command/playercommand.cpp" line="65"/>
        <source>Relative Volume</source>
        <translation>Volume relatif</translation>
    </message>
    <message>
        <location filename="../command/playercommand.cpp" line="67"/>
        <source>Mute Volume</source>
        <translation>Sourdine du volume</translation>
    </message>
    <message>
        <location filename="../about/aboutslots.cpp" line="30"/>
        <source>Here: your question...</source>
        <translation>Ici : votre question...</translation>
    </message>
    <message>
        <location filename="../about/aboutslots.cpp" line="28"/>
        <source>Subject: Veldo Support Request (From:</source>
        <translation>Objet : Demande d&apos;assistance Veldo (de :</translation>
    </message>
    <message>
        <location filename="../app/accessiblenames.cpp" line="17"/>
        <source>Baud rate</source>
        <translation>Débit en bauds</translation>
    </message>
    <message>
        <location filename="../app/accessiblenames.cpp" line="18"/>
        <source>Folder number</source>
        <translation>Numéro de dossier</translation>
    </message>
    <message>
        <location filename="../app/accessiblenames.cpp" line="19"/>
        <source>Playlist number</source>
        <translation>Numéro de liste de lecture</translation>
    </message>
    <message>
        <location filename="../app/accessiblenames.cpp" line="20"/>
        <source>Spot number</source>
        <translation>Numéro de spot</translation>
    </message>
    <message>
        <location filename="../app/accessiblenames.cpp" line="21"/>
        <source>Spot X value</source>
        <translation>Valeur X du spot</translation>
    </message>
    <message>
        <location filename="../app/accessiblenames.cpp" line="22"/>
        <source>Playback source</source>
        <translation>Source de lecture</translation>
    </message>
    <message>
        <location filename="../app/accessiblenames.cpp" line="23"/>
        <source>Web radio station</source>
        <translation>Station de radio Web</translation>
    </message>
    <message>
        <location filename="../app/accessiblenames.cpp" line="24"/>
        <source>FTP client number</source>
        <translation>Numéro de client FTP</translation>
    </message>
    <message>
        <location filename="../app/accessiblenames.cpp" line="44"/>
        <source>%1 volume</source>
        <translation>Volume %1</translation>
    </message>
    <message>
        <location filename="../app/accessiblenames.cpp" line="46"/>
        <source>%1 volume step</source>
        <translation>Pas du volume %1</translation>
    </message>
    <message>
        <location filename="../app/accessiblenames.cpp" line="48"/>
        <source>%1 %2</source>
        <comment>volume channel, then a button&apos;s tooltip</comment>
        <translation>%2 (%1)</translation>
    </message>
</context>
<context>
    <name>OfficePage</name>
    <message>
        <location filename="../office/officetexts.cpp" line="13"/>
        <source>Tunaris - Office</source>
        <translation>Tunaris - Siège</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="14"/>
        <source>Ask the operator for the office&apos;s link: only the key in it opens this page.</source>
        <translation>Demandez à l&apos;opérateur le lien du siège : seule la clé qu&apos;il contient ouvre cette page.</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="15"/>
        <source>This browser&apos;s key is no longer the office&apos;s: ask the operator for its link.</source>
        <translation>La clé de ce navigateur n&apos;est plus celle du siège : demandez-en le lien à l&apos;opérateur.</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="17"/>
        <source>Connected to %1</source>
        <translation>Connecté à %1</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="18"/>
        <source>Reading the players&apos; states from %1</source>
        <translation>Lecture des états des lecteurs sur %1</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="19"/>
        <source>No link to %1: %2; trying again</source>
        <translation>Pas de liaison avec %1 : %2 ; nouvel essai</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="20"/>
        <source>No link to the office&apos;s bridge; trying again</source>
        <translation>Pas de liaison avec la passerelle du siège ; nouvel essai</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="21"/>
        <source>%1 players: %2 online, %3 offline</source>
        <translation>%1 lecteurs : %2 en ligne, %3 hors ligne</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="22"/>
        <source>The broker keeps more players than this page shows.</source>
        <translation>Le broker garde plus de lecteurs que cette page n&apos;en montre.</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="23"/>
        <source>Showing %1 of %2 players</source>
        <translation>%1 lecteurs affichés sur %2</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="25"/>
        <source>Player</source>
        <translation>Lecteur</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="26"/>
        <source>Groups</source>
        <translation>Groupes</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="27"/>
        <source>State</source>
        <translation>État</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="28"/>
        <source>Link</source>
        <translation>Liaison</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="29"/>
        <source>Last command</source>
        <translation>Dernière commande</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="30"/>
        <source>Host and port</source>
        <translation>Machine et port</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="31"/>
        <source>Sort by %1</source>
        <translation>Trier par %1</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="33"/>
        <source>online</source>
        <translation>en ligne</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="34"/>
        <source>offline</source>
        <translation>hors ligne</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="35"/>
        <source>since %1</source>
        <translation>depuis %1</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="36"/>
        <source>open</source>
        <translation>ouvert</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="37"/>
        <source>held by the console</source>
        <translation>tenu par la console</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="38"/>
        <source>lost</source>
        <translation>perdu</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="39"/>
        <source>waiting</source>
        <translation>en attente</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="40"/>
        <source>its state cannot be read</source>
        <translation>son état est illisible</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="42"/>
        <source>its state came without the MQTT 5 properties, so commands cannot reach it</source>
        <translation>son état est arrivé sans les propriétés MQTT 5 : les commandes ne peuvent pas l&apos;atteindre</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="43"/>
        <source>none</source>
        <translation>aucune</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="45"/>
        <source>Every group</source>
        <translation>Tous les groupes</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="46"/>
        <source>Every state</source>
        <translation>Tous les états</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="47"/>
        <source>Online</source>
        <translation>En ligne</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="48"/>
        <source>Offline</source>
        <translation>Hors ligne</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="49"/>
        <source>Link lost or waiting</source>
        <translation>Liaison perdue ou en attente</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="50"/>
        <source>Find a player</source>
        <translation>Chercher un lecteur</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="52"/>
        <source>Send to</source>
        <translation>Envoyer à</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="53"/>
        <source>Player %1</source>
        <translation>Lecteur %1</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="54"/>
        <source>Group %1 (%2 players)</source>
        <translation>Groupe %1 (%2 lecteurs)</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="55"/>
        <source>Command</source>
        <translation>Commande</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="56"/>
        <source>Send</source>
        <translation>Envoyer</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="57"/>
        <source>Send to this player</source>
        <translation>Envoyer à ce lecteur</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="58"/>
        <source>Choose a player or a group to send to.</source>
        <translation>Choisissez un lecteur ou un groupe destinataire.</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="59"/>
        <source>Commands sent from the office</source>
        <translation>Commandes envoyées du siège</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="60"/>
        <source>%1 to %2</source>
        <translation>%1 %2</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="61"/>
        <source>player %1</source>
        <translation>au lecteur %1</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="62"/>
        <source>group %1</source>
        <translation>au groupe %1</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="63"/>
        <source>%1 of %2 answered: %3 ok, %4 not sent, %5 unknown</source>
        <translation>réponses : %1 sur %2 ; ok : %3, non envoyées : %4, inconnues : %5</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="64"/>
        <source>sent</source>
        <translation>envoyée</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="65"/>
        <source>not sent</source>
        <translation>non envoyée</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="66"/>
        <source>outcome unknown: check the player before sending it again</source>
        <translation>résultat inconnu : vérifiez le lecteur avant de la renvoyer</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="67"/>
        <source>waiting for its answer</source>
        <translation>en attente de sa réponse</translation>
    </message>
    <message>
        <location filename="../office/officetexts.cpp" line="69"/>
        <source>The office&apos;s bridge did not answer: the outcome of this command is unknown.</source>
        <translation>La passerelle du siège n&apos;a pas répondu : le résultat de cette commande est inconnu.</translation>
    </message>
</context>
<context>
    <name>WebRemote</name>
    <message>
        <location filename="../remote/remotetexts.cpp" line="57"/>
        <source>Ask the operator for this remote&apos;s link: only the key in it lets a phone send commands.</source>
        <translation>Demandez à l&apos;opérateur le lien de cette télécommande : seule la clé qu&apos;il contient permet à un téléphone d&apos;envoyer des commandes.</translation>
    </message>
    <message>
        <location filename="../remote/remotetexts.cpp" line="60"/>
        <source>This phone&apos;s key is no longer this remote&apos;s: ask the operator for its link.</source>
        <translation>La clé de ce téléphone n&apos;est plus celle de cette télécommande : demandez-en le lien à l&apos;opérateur.</translation>
    </message>
    <message>
        <location filename="../remote/remotetexts.cpp" line="59"/>
        <source>Port open: %1</source>
        <translation>Port ouvert : %1</translation>
    </message>
    <message>
        <location filename="../remote/remotetexts.cpp" line="60"/>
        <source>Through the console, which holds %1</source>
        <translation>Par la console, qui détient %1</translation>
    </message>
    <message>
        <location filename="../remote/remotetexts.cpp" line="61"/>
        <source>Waiting: the next command opens %1</source>
        <translation>En attente : la prochaine commande ouvre %1</translation>
    </message>
    <message>
        <location filename="../remote/remotetexts.cpp" line="62"/>
        <source>Port lost: %1 (the next command tries again)</source>
        <translation>Port perdu : %1 (la prochaine commande réessaie)</translation>
    </message>
    <message>
        <location filename="../remote/remotetexts.cpp" line="63"/>
        <source>No link to the bridge; trying again</source>
        <translation>Pas de liaison avec la passerelle ; nouvel essai</translation>
    </message>
    <message>
        <location filename="../remote/remotetexts.cpp" line="64"/>
        <source>%1: outcome unknown (%2); check the player before sending it again</source>
        <translation>%1 : résultat inconnu (%2) ; vérifiez le lecteur avant de la renvoyer</translation>
    </message>
    <message>
        <location filename="../remote/remotetexts.cpp" line="65"/>
        <source>the bridge did not answer</source>
        <translation>la passerelle n&apos;a pas répondu</translation>
    </message>
    <message>
        <location filename="../remote/remotetexts.cpp" line="69"/>
        <source>Level unknown</source>
        <translation>Niveau inconnu</translation>
    </message>
    <message>
        <location filename="../remote/remotetexts.cpp" line="70"/>
        <source>Mute unknown</source>
        <translation>Sourdine inconnue</translation>
    </message>
</context>
</TS>
