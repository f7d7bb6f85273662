<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>Console</name>
    <message>
        <source>Tarnell by Voskarwerk</source>
        <translation>Tarnell by Voskarwerk</translation>
    </message>
    <message>
        <source>StoragePos.</source>
        <translation>Speicherpl.</translation>
    </message>
    <message>
        <source>Grip Position 0..500 [1/10 mm]</source>
        <translation>Greifpos. 0..500 [1/10 mm]</translation>
    </message>
    <message>
        <source>Provision Position 0..500 [1/10 mm]</source>
        <translation>Bereitstellpos. 0..500 [1/10 mm]</translation>
    </message>
    <message>
        <source>Grip Force 3..50 [N]</source>
        <translation>Greifkraft 3..50 [N]</translation>
    </message>
    <message>
        <source>Grip Position 0..1000 [1/10 mm]</source>
        <translation>Greifpos. 0..1000 [1/10 mm]</translation>
    </message>
    <message>
        <source>Provision Position 0..1000 [1/10 mm]</source>
        <translation>Bereitstellpos. 0..1000 [1/10 mm]</translation>
    </message>
    <message>
        <source>Ref. Drive / Force Compensation</source>
        <translation>Referenzfahrt / Kraftausgleich</translation>
    </message>
    <message>
        <source>Ref. Drive Position</source>
        <translation>Referenzfahrt-Pos.</translation>
    </message>
    <message>
        <source>Force Compensation Position</source>
        <translation>Kraftausgleich-Pos.</translation>
    </message>
    <message>
        <source>Minimum Value is: </source>
        <translation>Kleinster Wert ist: </translation>
    </message>
    <message>
        <source>Maximum Value is: </source>
        <translation>Größter Wert ist: </translation>
    </message>
    <message>
        <source>...Timeout - Tarnell does not respond!<byte value="xd"/>
Please check connection!</source>
        <translation>...Zeitüberschreitung - Tarnell antwortet nicht!<byte value="xd"/>
Bitte die Verbindung prüfen!</translation>
    </message>
    <message>
        <source><byte value="xd"/>
The next command asks for a port.</source>
        <translation><byte value="xd"/>
Der nächste Befehl fragt nach einem Port.</translation>
    </message>
    <message>
        <source>No port is open: your next command (F1, for instance) opens one.</source>
        <translation>Kein Port ist offen: Ihr nächster Befehl (etwa F1) öffnet einen.</translation>
    </message>
    <message>
        <source>&apos;%1&apos; ist kein gültiger Integerwert</source>
        <translation>&apos;%1&apos; ist kein gültiger Integerwert</translation>
    </message>
    <message>
        <source>Listenindex überschreitet das Maximum (%1)</source>
        <translation>Listenindex überschreitet das Maximum (%1)</translation>
    </message>
    <message>
        <source>Datei &quot;%1&quot; kann nicht erstellt werden. %2</source>
        <translation>Datei &quot;%1&quot; kann nicht erstellt werden. %2</translation>
    </message>
    <message>
        <source>Datei &quot;%1&quot; kann nicht geöffnet werden. %2</source>
        <translation>Datei &quot;%1&quot; kann nicht geöffnet werden. %2</translation>
    </message>
    <message>
        <source>The file &quot;%1&quot; is not a parameter file: line %2 is neither empty nor a number (%3). Nothing was loaded.</source>
        <translation>Die Datei &quot;%1&quot; ist keine Parameterdatei: Zeile %2 ist weder leer noch eine Zahl (%3). Nichts wurde geladen.</translation>
    </message>
    <message>
        <source>Load file with position- and gripper data and write to the grid. </source>
        <translation>Datei mit Positions- und Greiferdaten laden und in die Tabelle schreiben. </translation>
    </message>
    <message>
        <source>Load position- and gripper data from the grid and store to a file.</source>
        <translation>Positions- und Greiferdaten aus der Tabelle in einer Datei speichern.</translation>
    </message>
    <message>
        <source>Write to the 8 storage places with the defined position- and gripper parameters of the grid at left.</source>
        <translation>Die 8 Speicherplätze mit den Positions- und Greifparametern der Tabelle links beschreiben.</translation>
    </message>
    <message>
        <source>Readout of the 8 storage places with predefined position- and gripper parameters.</source>
        <translation>Die 8 Speicherplätze mit den hinterlegten Positions- und Greifparametern auslesen.</translation>
    </message>
    <message>
        <source>Deletes all data in the adjacent grid, however not in the servo gripper!</source>
        <translation>Löscht alle Daten in der Tabelle daneben, nicht aber im Servogreifer!</translation>
    </message>
    <message>
        <source>The servo gripper with this address will be addressed with the buttons &quot;Readout&quot; and &quot;Send&quot;.</source>
        <translation>Die Schaltflächen &quot;Auslesen&quot; und &quot;Senden&quot; sprechen den Servogreifer mit dieser Adresse an.</translation>
    </message>
    <message>
        <source>In this grid the position for reference drive and force compensation of the servo gripper are entered respectively displayed.</source>
        <translation>In dieser Tabelle werden die Positionen für Referenzfahrt und Kraftausgleich des Servogreifers eingegeben bzw. angezeigt.</translation>
    </message>
    <message>
        <source>In this grid the position and grip parameters for the 7 storage places of the servo gripper are entered respectively displayed.</source>
        <translation>In dieser Tabelle werden die Positions- und Greifparameter der 7 Speicherplätze des Servogreifers eingegeben bzw. angezeigt.</translation>
    </message>
    <message>
        <source>Instead of a fixed address the wild-card &quot;#ADR&quot; may be entered.<byte value="xd"/>
The address set at &quot;Tarnell Address&quot; will then be dynamically entered.</source>
        <translation>Statt einer festen Adresse kann der Platzhalter &quot;#ADR&quot; eingegeben werden.<byte value="xd"/>
Dafür wird dann die unter &quot;Tarnell Adresse&quot; eingestellte Adresse eingesetzt.</translation>
    </message>
    <message>
        <source>Output Window: here all commands sent and messages received are displayed  .<byte value="xd"/>
The last notice is displayed at the top of the list.<byte value="xd"/>
&quot;TX:...&quot; sended messages.<byte value="xd"/>
&quot;-&gt;RX:...&quot; received messages</source>
        <translation>Ausgabefenster: hier werden alle gesendeten Befehle und empfangenen Meldungen angezeigt.<byte value="xd"/>
Die letzte Meldung steht oben in der Liste.<byte value="xd"/>
&quot;TX:...&quot; gesendete Meldungen.<byte value="xd"/>
&quot;-&gt;RX:...&quot; empfangene Meldungen</translation>
    </message>
    <message>
        <source>In this grid you can assign commands to the F1 .. F12 Keys. Just capture a command with Ctrl+C and and copy it with Ctrl+V.<byte value="xd"/>
From now on you can execute this command just by pressing the appropriate F-Key.<byte value="xd"/>
F1 is already allocated with the STA command.</source>
        <translation>In dieser Tabelle können Sie den Tasten F1 .. F12 Befehle zuweisen. Einen Befehl einfach mit Strg+C kopieren und mit Strg+V einfügen.<byte value="xd"/>
Danach führt ein Druck auf die zugehörige F-Taste diesen Befehl aus.<byte value="xd"/>
F1 ist bereits mit dem Befehl STA belegt.</translation>
    </message>
    <message>
        <source>Readout of the 8 storage places and comparison with the grid at left; nothing is written to the servo gripper. Cells that differ are marked (Ctrl+Shift+V).<byte value="xd"/>
The arrow beside it sets whether every &quot;Send&quot; is verified at once (Ctrl+Alt+V).</source>
        <translation>Liest die 8 Speicherplätze aus und vergleicht sie mit der Tabelle links; in den Servogreifer wird nichts geschrieben. Abweichende Zellen werden markiert (Strg+Umschalt+V).<byte value="xd"/>
Der Pfeil daneben legt fest, ob jedes &quot;Senden&quot; sofort geprüft wird (Strg+Alt+V).</translation>
    </message>
    <message>
        <source>Finds the servo grippers on the bus: every address of a range is asked for its status and version (Ctrl+B).</source>
        <translation>Findet die Servogreifer am Bus: jede Adresse eines Bereichs wird nach Status und Version gefragt (Strg+B).</translation>
    </message>
    <message>
        <source>Shows the 8 status bits of the servo gripper at &quot;Tarnell Adress&quot; over time (Ctrl+M).</source>
        <translation>Zeigt die 8 Statusbits des Servogreifers unter &quot;Tarnell Adresse&quot; im Zeitverlauf (Strg+M).</translation>
    </message>
    <message>
        <source>Closes the port; the next command asks for a port (Ctrl+P).</source>
        <translation>Schließt den Port; der nächste Befehl fragt nach einem Port (Strg+P).</translation>
    </message>
    <message>
        <source>The saved set-up in %1 %2, so the window starts with its defaults.
%3</source>
        <translation>Die gespeicherte Einrichtung in %1 %2, daher startet das Fenster mit seinen Voreinstellungen.
%3</translation>
    </message>
    <message>
        <source>The file was set aside as %1.</source>
        <translation>Die Datei wurde als %1 beiseitegelegt.</translation>
    </message>
    <message>
        <source>It could not be set aside and will be replaced.</source>
        <translation>Sie konnte nicht beiseitegelegt werden und wird ersetzt.</translation>
    </message>
    <message>
        <source>cannot be read</source>
        <translation>ist nicht lesbar</translation>
    </message>
    <message>
        <source>is not a set-up of this program or is damaged</source>
        <translation>ist keine Einrichtung dieses Programms oder ist beschädigt</translation>
    </message>
    <message>
        <source>Grip Position</source>
        <translation>Greifposition</translation>
    </message>
    <message>
        <source>Provision Position</source>
        <translation>Bereitstellposition</translation>
    </message>
    <message>
        <source>Grip Force</source>
        <translation>Greifkraft</translation>
    </message>
    <message>
        <source>storage place %1, %2</source>
        <translation>Speicherplatz %1, %2</translation>
    </message>
    <message>
        <source>reference row (place 8), %1</source>
        <translation>Referenzzeile (Platz 8), %1</translation>
    </message>
    <message>
        <source>&apos;%1&apos; is not a number</source>
        <translation>&apos;%1&apos; ist keine Zahl</translation>
    </message>
    <message>
        <source>%1 is outside %2..%3</source>
        <translation>%1 liegt außerhalb von %2..%3</translation>
    </message>
    <message>
        <source>Nothing was sent: %1: %2.</source>
        <translation>Nichts wurde gesendet: %1: %2.</translation>
    </message>
    <message>
        <source>grip force</source>
        <translation>Greifkraft</translation>
    </message>
    <message>
        <source>reference-drive position</source>
        <translation>Referenzfahrt-Position</translation>
    </message>
    <message>
        <source>grip position</source>
        <translation>Greifposition</translation>
    </message>
    <message>
        <source>force-compensation position</source>
        <translation>Kraftausgleich-Position</translation>
    </message>
    <message>
        <source>provision position</source>
        <translation>Bereitstellposition</translation>
    </message>
    <message>
        <source>place %1 %2: %3 in the grid, %4 in the gripper</source>
        <translation>Platz %1 %2: %3 in der Tabelle, %4 im Greifer</translation>
    </message>
    <message>
        <source>nothing</source>
        <translation>nichts</translation>
    </message>
    <message>
        <source>Tarnell Console</source>
        <translation>Tarnell Console</translation>
    </message>
    <message>
        <source>Unknown exception</source>
        <translation>Unbekannte Ausnahme</translation>
    </message>
</context>
<context>
    <name>Serial</name>
    <message>
        <source>The ComNumber property of the TSioComPort has not been set</source>
        <translation>Es wurde kein Port gewählt (ComNumber des TSioComPort ist nicht gesetzt)</translation>
    </message>
    <message>
        <source>ie_BadId - Specified comport doesn&apos;t exist</source>
        <translation>ie_BadId - Der angegebene Port existiert nicht</translation>
    </message>
    <message>
        <source>ie_Hardware - Specified comport in use</source>
        <translation>ie_Hardware - Der angegebene Port ist belegt</translation>
    </message>
    <message>
        <source>The configured serial port is not valid.</source>
        <translation>Der eingestellte Port ist ungültig.</translation>
    </message>
    <message>
        <source>: the port could not be opened: </source>
        <translation>: der Port ließ sich nicht öffnen: </translation>
    </message>
    <message>
        <source>ie_NOpen - device not open</source>
        <translation>ie_NOpen - Gerät nicht geöffnet</translation>
    </message>
    <message>
        <source>ie_Open - device already open</source>
        <translation>ie_Open - Gerät bereits geöffnet</translation>
    </message>
    <message>
        <source>Please choose another port.</source>
        <translation>Bitte einen anderen Port wählen.</translation>
    </message>
    <message>
        <source>: the device was lost</source>
        <translation>: das Gerät ist verloren gegangen</translation>
    </message>
    <message>
        <source>File access denied</source>
        <translation>Dateizugriff verweigert</translation>
    </message>
    <message>
        <source> is already in use</source>
        <translation> ist bereits belegt</translation>
    </message>
    <message>
        <source>(system error </source>
        <translation>(Systemfehler </translation>
    </message>
    <message>
        <source>File not found</source>
        <translation>Datei nicht gefunden</translation>
    </message>
    <message>
        <source>Select Port</source>
        <translation>Port wählen</translation>
    </message>
</context>
<context>
    <name>tarnell::SelectComDialog</name>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
</context>
<context>
    <name>tarnell::TBusPanel</name>
    <message>
        <source>Grippers on the bus</source>
        <translation>Greifer am Bus</translation>
    </message>
    <message>
        <source>&amp;Bus…</source>
        <translation>&amp;Bus…</translation>
    </message>
    <message>
        <source>Find the grippers on the bus (Ctrl+B)</source>
        <translation>Die Greifer am Bus finden (Strg+B)</translation>
    </message>
    <message>
        <source>First address</source>
        <translation>Erste Adresse</translation>
    </message>
    <message>
        <source>Last address</source>
        <translation>Letzte Adresse</translation>
    </message>
    <message>
        <source>Time limit per address in ticks</source>
        <translation>Zeitgrenze je Adresse in Ticks</translation>
    </message>
    <message>
        <source> ticks</source>
        <translation> Ticks</translation>
    </message>
    <message>
        <source>How long a silent address is waited for, in ticks of 55 ms</source>
        <translation>Wie lange auf eine stumme Adresse gewartet wird, in Ticks zu 55 ms</translation>
    </message>
    <message>
        <source>&amp;Scan</source>
        <translation>&amp;Suchen</translation>
    </message>
    <message>
        <source>Scan</source>
        <translation>Suchen</translation>
    </message>
    <message>
        <source>&amp;Cancel</source>
        <translation>Abbre&amp;chen</translation>
    </message>
    <message>
        <source>Cancel scan</source>
        <translation>Suche abbrechen</translation>
    </message>
    <message>
        <source>&amp;Use this gripper</source>
        <translation>Diesen Greifer &amp;nehmen</translation>
    </message>
    <message>
        <source>Use this gripper</source>
        <translation>Diesen Greifer nehmen</translation>
    </message>
    <message>
        <source>Scan progress</source>
        <translation>Suchfortschritt</translation>
    </message>
    <message>
        <source>Not scanned yet.</source>
        <translation>Noch nicht gesucht.</translation>
    </message>
    <message>
        <source>Scan result</source>
        <translation>Suchergebnis</translation>
    </message>
    <message>
        <source>Grippers found</source>
        <translation>Gefundene Greifer</translation>
    </message>
    <message>
        <source>Address</source>
        <translation>Adresse</translation>
    </message>
    <message>
        <source>Model</source>
        <translation>Modell</translation>
    </message>
    <message>
        <source>Type</source>
        <translation>Typ</translation>
    </message>
    <message>
        <source>Version</source>
        <translation>Version</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>Status bits</source>
        <translation>Statusbits</translation>
    </message>
    <message>
        <source>&amp;From</source>
        <translation>&amp;Von</translation>
    </message>
    <message>
        <source>&amp;to</source>
        <translation>&amp;bis</translation>
    </message>
    <message>
        <source>&amp;Limit</source>
        <translation>&amp;Grenze</translation>
    </message>
    <message>
        <source>Scanning %1..%2…</source>
        <translation>Suche %1..%2…</translation>
    </message>
    <message>
        <source>%1 %2 address(es) from %3 in %4 s: %5 gripper(s) found.</source>
        <translation>%1 %2 Adresse(n) ab %3 in %4 s: %5 Greifer gefunden.</translation>
    </message>
    <message>
        <source>Cancelled after</source>
        <translation>Abgebrochen nach</translation>
    </message>
    <message>
        <source>Asked</source>
        <translation>Gefragt:</translation>
    </message>
    <message>
        <source>no answer to VER</source>
        <translation>keine Antwort auf VER</translation>
    </message>
    <message>
        <source>unknown</source>
        <translation>unbekannt</translation>
    </message>
    <message>
        <source>Address %1 is now the window&apos;s gripper.</source>
        <translation>Adresse %1 ist jetzt der Greifer des Fensters.</translation>
    </message>
</context>
<context>
    <name>tarnell::TForm1</name>
    <message>
        <source>Line ERROR detected!</source>
        <translation>Leitungsfehler erkannt!</translation>
    </message>
    <message>
        <source>Parity Bit</source>
        <translation>Paritätsbit</translation>
    </message>
    <message>
        <source>Even Parity</source>
        <translation>Gerade Parität</translation>
    </message>
    <message>
        <source>No Parity</source>
        <translation>Keine Parität</translation>
    </message>
    <message>
        <source>Gripper Type</source>
        <translation>Greifertyp</translation>
    </message>
    <message>
        <source>50 mm</source>
        <translation>50 mm</translation>
    </message>
    <message>
        <source>100 mm</source>
        <translation>100 mm</translation>
    </message>
    <message>
        <source>30 mm</source>
        <translation>30 mm</translation>
    </message>
    <message>
        <source>Tarnell Adress</source>
        <translation>Tarnell Adresse</translation>
    </message>
    <message>
        <source>Open File</source>
        <translation>Datei öffnen</translation>
    </message>
    <message>
        <source>Store File</source>
        <translation>Datei speichern</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>Löschen</translation>
    </message>
    <message>
        <source>Readout</source>
        <translation>Auslesen</translation>
    </message>
    <message>
        <source>Send</source>
        <translation>Senden</translation>
    </message>
    <message>
        <source>&lt;&lt; Delete</source>
        <translation>&lt;&lt; Löschen</translation>
    </message>
    <message>
        <source>Status: </source>
        <translation>Status: </translation>
    </message>
    <message>
        <source>VCC Err.</source>
        <translation>VCC-Fehler</translation>
    </message>
    <message>
        <source>Temp. Err.</source>
        <translation>Temp.-Fehler</translation>
    </message>
    <message>
        <source>Overcurrent Err.</source>
        <translation>Überstrom</translation>
    </message>
    <message>
        <source>Blocking Err.</source>
        <translation>Blockiert</translation>
    </message>
    <message>
        <source>Grip Err.</source>
        <translation>Greiffehler</translation>
    </message>
    <message>
        <source>n.a.</source>
        <translation>n.v.</translation>
    </message>
    <message>
        <source>Referenced</source>
        <translation>Referenziert</translation>
    </message>
    <message>
        <source>Ready</source>
        <translation>Bereit</translation>
    </message>
</context>
<context>
    <name>tarnell::TLanguageMenu</name>
    <message>
        <source>&amp;Language (from the next start)</source>
        <translation>&amp;Sprache (ab dem nächsten Start)</translation>
    </message>
    <message>
        <source>Language menu</source>
        <translation>Sprachmenü</translation>
    </message>
    <message>
        <source>As the &amp;system</source>
        <translation>Wie das &amp;System</translation>
    </message>
</context>
<context>
    <name>tarnell::TOutputMenu</name>
    <message>
        <source>Output window menu</source>
        <translation>Menü des Ausgabefensters</translation>
    </message>
    <message>
        <source>&amp;Copy</source>
        <translation>&amp;Kopieren</translation>
    </message>
    <message>
        <source>Select &amp;All</source>
        <translation>&amp;Alles markieren</translation>
    </message>
    <message>
        <source>C&amp;lear</source>
        <translation>&amp;Leeren</translation>
    </message>
    <message>
        <source>&amp;Save as…</source>
        <translation>Speichern &amp;unter…</translation>
    </message>
    <message>
        <source>&amp;Time stamp on each new line</source>
        <translation>&amp;Zeitstempel vor jeder neuen Zeile</translation>
    </message>
</context>
<context>
    <name>tarnell::TPortChoice</name>
    <message>
        <source>Choose another port…</source>
        <translation>Anderen Port wählen…</translation>
    </message>
    <message>
        <source>Close the port; the next command asks for a port (Ctrl+P)</source>
        <translation>Den Port schließen; der nächste Befehl fragt nach einem Port (Strg+P)</translation>
    </message>
    <message>
        <source>No port has been chosen yet.</source>
        <translation>Noch ist kein Port gewählt.</translation>
    </message>
    <message>
        <source>Please choose the gripper port.</source>
        <translation>Bitte den Port der Greifer wählen.</translation>
    </message>
</context>
<context>
    <name>tarnell::TPortStatusLine</name>
    <message>
        <source>not yet chosen (the next command asks)</source>
        <translation>noch nicht gewählt (der nächste Befehl fragt)</translation>
    </message>
    <message>
        <source>open</source>
        <translation>offen</translation>
    </message>
    <message>
        <source>closed</source>
        <translation>geschlossen</translation>
    </message>
    <message>
        <source>LOST (the next command opens it again)</source>
        <translation>VERLOREN (der nächste Befehl öffnet ihn wieder)</translation>
    </message>
    <message>
        <source>Port status</source>
        <translation>Portzustand</translation>
    </message>
    <message>
        <source>Port menu</source>
        <translation>Portmenü</translation>
    </message>
    <message>
        <source>none</source>
        <translation>keiner</translation>
    </message>
    <message>
        <source>Port: %1   Device: %2   Line: %3   State: %4</source>
        <translation>Port: %1   Gerät: %2   Leitung: %3   Zustand: %4</translation>
    </message>
    <message>
        <source>not yet chosen</source>
        <translation>noch nicht gewählt</translation>
    </message>
    <message>
        <source>LOST</source>
        <translation>VERLOREN</translation>
    </message>
</context>
<context>
    <name>tarnell::TStatusMonitor</name>
    <message>
        <source>Status over time</source>
        <translation>Status im Zeitverlauf</translation>
    </message>
    <message>
        <source>&amp;Monitor</source>
        <translation>&amp;Monitor</translation>
    </message>
    <message>
        <source>Watch the status bits over time (Ctrl+M)</source>
        <translation>Die Statusbits im Zeitverlauf beobachten (Strg+M)</translation>
    </message>
    <message>
        <source>Poll interval</source>
        <translation>Abfrageabstand</translation>
    </message>
    <message>
        <source>&amp;Every</source>
        <translation>&amp;Alle</translation>
    </message>
    <message>
        <source>&amp;Pause</source>
        <translation>&amp;Pause</translation>
    </message>
    <message>
        <source>Pause</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>C&amp;lear</source>
        <translation>&amp;Leeren</translation>
    </message>
    <message>
        <source>Clear</source>
        <translation>Leeren</translation>
    </message>
    <message>
        <source>Save &amp;CSV…</source>
        <translation>&amp;CSV speichern…</translation>
    </message>
    <message>
        <source>Save as CSV</source>
        <translation>Als CSV speichern</translation>
    </message>
    <message>
        <source>Save P&amp;NG…</source>
        <translation>P&amp;NG speichern…</translation>
    </message>
    <message>
        <source>Save as PNG</source>
        <translation>Als PNG speichern</translation>
    </message>
    <message>
        <source>Monitor state</source>
        <translation>Monitorzustand</translation>
    </message>
    <message>
        <source>Paused.</source>
        <translation>Angehalten.</translation>
    </message>
    <message>
        <source> Polls go on then.</source>
        <translation> Die Abfragen laufen dann weiter.</translation>
    </message>
    <message>
        <source>Address %1: status %2.</source>
        <translation>Adresse %1: Status %2.</translation>
    </message>
    <message>
        <source>Address %1: no answer.</source>
        <translation>Adresse %1: keine Antwort.</translation>
    </message>
    <message>
        <source>The picture could not be written to %1</source>
        <translation>Das Bild ließ sich nicht nach %1 schreiben</translation>
    </message>
</context>
<context>
    <name>tarnell::TStatusTimeline</name>
    <message>
        <source>Status timeline</source>
        <translation>Statusverlauf</translation>
    </message>
    <message>
        <source>now</source>
        <translation>jetzt</translation>
    </message>
    <message>
        <source>-%1 s</source>
        <translation>-%1 s</translation>
    </message>
</context>
<context>
    <name>tarnell::TVerify</name>
    <message>
        <source>&amp;Verify</source>
        <translation>&amp;Prüfen</translation>
    </message>
    <message>
        <source>Read the 8 storage places back and compare them with the grids; nothing is written (Ctrl+Shift+V)</source>
        <translation>Die 8 Speicherplätze zurücklesen und mit den Tabellen vergleichen; nichts wird geschrieben (Strg+Umschalt+V)</translation>
    </message>
    <message>
        <source>Verify &amp;after Send</source>
        <translation>&amp;Nach dem Senden prüfen</translation>
    </message>
    <message>
        <source>Verify right after every Send (Ctrl+Alt+V)</source>
        <translation>Gleich nach jedem Senden prüfen (Strg+Alt+V)</translation>
    </message>
    <message>
        <source>Verify menu</source>
        <translation>Prüfmenü</translation>
    </message>
    <message>
        <source>Verify stopped: the answer to %1 is not the contents of place %2:
%3</source>
        <translation>Prüfen abgebrochen: die Antwort auf %1 ist nicht der Inhalt von Platz %2:
%3</translation>
    </message>
    <message>
        <source>Verify: no row of the grids is complete, so nothing was compared.</source>
        <translation>Prüfen: keine Zeile der Tabellen ist vollständig, daher wurde nichts verglichen.</translation>
    </message>
    <message>
        <source>Verify: all complete rows match the gripper at address %1 (places %2).</source>
        <translation>Prüfen: alle vollständigen Zeilen stimmen mit dem Greifer an Adresse %1 überein (Plätze %2).</translation>
    </message>
    <message>
        <source>Verify: %1 field(s) differ from the gripper at address %2:
%3</source>
        <translation>Prüfen: %1 Feld(er) weichen vom Greifer an Adresse %2 ab:
%3</translation>
    </message>
    <message>
        <source>
Not compared (not sent): places %1.</source>
        <translation>
Nicht verglichen (nicht gesendet): Plätze %1.</translation>
    </message>
    <message>
        <source>
Not compared (a cell is empty): places %1.</source>
        <translation>
Nicht verglichen (eine Zelle ist leer): Plätze %1.</translation>
    </message>
    <message>
        <source>Gripper: %1</source>
        <translation>Greifer: %1</translation>
    </message>
    <message>
        <source>(nothing)</source>
        <translation>(nichts)</translation>
    </message>
</context>
</TS>
