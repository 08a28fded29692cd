#pragma once
#include <QList>
#include <QString>
#include <QStringList>

// The running project's figures: what the windows and zov-kestra-get show.
// Only the download manager changes them; everyone else reads them through
// DownloadManager::run().
struct DownloadRun
{
    bool Downloading = false;
    QString Project_Now;
    bool Projet_FTP = false;
    bool httpsProject = false;  // the running project's server speaks TLS
    bool Erreur_Signalee = false;

    // Pack bookkeeping of a resumed project.
    QStringList Lst_Recupe, Lst_Recupe_No;
    QStringList Lst_Numero_OK, Lst_Numero_Pas_OK, Lst_Numero_Pas_OK_Byte;

    // The running project.
    qint64 Taille_Fichier = 0;   // file size
    qint64 Taille_Recue = 0;     // bytes present: finished packs + the slots' write positions
    qint64 Paquets_Finis = 0;    // bytes of the packs finished in this run
    qint64 Octets_Tick = 0;      // bytes since the last speed sample
    bool Chrono_Lance = false;   // elapsed-time and speed timers started for this run
    int Heure_Debut = 0;         // seconds since midnight of the run's first data
    int Heure_Pause = 0;         // seconds since midnight at the last pause
    qint64 Taille_Reprise = 0;   // bytes present when the run (re)started
    qint64 Vitesse_Haute = 0;    // highest and lowest immediate speed, bytes/s (0: none yet)
    qint64 Vitesse_Basse = 0;
    qint64 Paquets_Restants = 0; // packs nobody has started
    qint64 Paquet_Suivant = 0;   // number of packs of the project once all are handed out
    qint64 Dernier_Paquet = 0;   // size of the short last pack while nobody started it
    qint64 Taille_Dernier = 0;   // size of the short last pack, kept for the assembly
    QString File_URL2, Host_URL2, Path_URL2;
    int Temps_H = 0, Temps_M = 0, Temps_S = 0;
    // The last sample's speeds in bytes per second, and the time left at the
    // recent speed (the mean of the last RecentSamples samples, so that it
    // follows a stall and the recovery after it within seconds); -1: unknown.
    static constexpr int RecentSamples = 5;
    qint64 speedNow = 0;
    qint64 speedAverage = 0;
    qint64 secondsLeft = -1;
    QList<qint64> recentTicks;   // bytes of the last samples

    // Whole percentage of part in whole, rounded half away from zero.
    static int percentOf(qint64 part, qint64 whole);
};
