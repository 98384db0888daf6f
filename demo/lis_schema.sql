-- LIS tables that the integration service reads (Firebird 3, dialect 3).
-- Create the database with DEFAULT CHARACTER SET WIN1252; this file is UTF-8
-- (isql-fb -ch UTF8 -i lis_schema.sql).

create table apa_aparelhos (
  apa_cod integer not null,
  apa_dsc varchar(60) not null,
  constraint pk_apa_aparelhos primary key (apa_cod)
);

create table exa_exames (
  exa_cod integer not null,
  exa_dsc varchar(80) not null,
  constraint pk_exa_exames primary key (exa_cod)
);

-- A report model ties one exam to one device.
create table mla_modelolaudo (
  mla_cod integer not null,
  apa_cod integer not null,
  exa_cod integer not null,
  mla_dsc varchar(80),
  constraint pk_mla_modelolaudo primary key (mla_cod),
  constraint fk_mla_apa foreign key (apa_cod) references apa_aparelhos (apa_cod),
  constraint fk_mla_exa foreign key (exa_cod) references exa_exames (exa_cod)
);

-- are_nom_apa: the name under which the analyzer knows the test ('' = none).
create table are_atributosresultado (
  are_cod integer not null,
  mla_cod integer not null,
  exa_cod integer not null,
  are_dsc varchar(60),
  are_nom_apa varchar(30) default '' not null,
  constraint pk_are_atributosresultado primary key (are_cod),
  constraint fk_are_mla foreign key (mla_cod) references mla_modelolaudo (mla_cod),
  constraint fk_are_exa foreign key (exa_cod) references exa_exames (exa_cod)
);

create table cli_clientes (
  cli_cod integer not null,
  cli_nom varchar(100) not null,
  constraint pk_cli_clientes primary key (cli_cod)
);

-- Personal data; a client without a row here (a company) has no orders found.
create table cpf_clientepessoafisica (
  cli_cod integer not null,
  cpf_dta_nas date,
  cpf_sex char(1),
  constraint pk_cpf_clientepessoafisica primary key (cli_cod),
  constraint fk_cpf_cli foreign key (cli_cod) references cli_clientes (cli_cod)
);

create table mat_material (
  mat_cod integer not null,
  mat_dsc varchar(60) not null,
  constraint pk_mat_material primary key (mat_cod)
);

create table med_medicos (
  med_cod integer not null,
  med_nom varchar(100) not null,
  med_crm varchar(20),
  constraint pk_med_medicos primary key (med_cod)
);

create table grp_grupos (
  grp_cod integer not null,
  grp_dsc varchar(60) not null,
  constraint pk_grp_grupos primary key (grp_cod)
);

-- ped_cod_vis: the visible order code printed on the sample's bar code.
create table ped_pedidos (
  ped_cod integer not null,
  ped_cod_vis bigint not null,
  ped_dat timestamp not null,
  ped_urg char(1) default 'N' not null,
  cli_cod integer not null,
  med_cod integer,
  grp_cod integer not null,
  constraint pk_ped_pedidos primary key (ped_cod),
  constraint fk_ped_cli foreign key (cli_cod) references cli_clientes (cli_cod),
  constraint fk_ped_med foreign key (med_cod) references med_medicos (med_cod),
  constraint fk_ped_grp foreign key (grp_cod) references grp_grupos (grp_cod)
);

-- exp_sta: 1 awaiting collection, 2 collected (to be run), 3 released.
create table exp_examespedidos (
  ped_cod integer not null,
  exa_cod integer not null,
  mat_cod integer not null,
  exp_sta smallint default 1 not null,
  constraint pk_exp_examespedidos primary key (ped_cod, exa_cod),
  constraint fk_exp_ped foreign key (ped_cod) references ped_pedidos (ped_cod),
  constraint fk_exp_exa foreign key (exa_cod) references exa_exames (exa_cod),
  constraint fk_exp_mat foreign key (mat_cod) references mat_material (mat_cod)
);

create generator gen_ped_pedidos;
create generator gen_cli_clientes;
